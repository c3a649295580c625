"""check_update up to the hand-over: locating the installation, the channel,
the remote manifest, the version comparison, the probe and every way it stops.
The server listens on the built-in base URL, 127.0.0.1:8000."""
import json
import sys
from types import SimpleNamespace

import pytest

from faultserver import Reply, free_port
from tarvik_cmd import auto_update as au
from update_fixtures import (APP, ARCH, DISPLAY, EXE_SCRIPT, MANIFEST, OS_, Widgets, make_install, manifest,
                             port_8000_free, private_tmp, publish_version, staging_dirs, update_server)

V1 = {"Shop": EXE_SCRIPT.encode(), "lib/a.so": b"a1", "data/b.txt": b"b1"}
ROOT = "http://127.0.0.1:8000/auth/"
MANIFEST_PATH = f"/auth/{MANIFEST}"


@pytest.fixture
def site(tmp_path, monkeypatch, private_tmp):
    www = tmp_path / "www"
    www.mkdir()
    srv = update_server(www)
    install = tmp_path / "install"

    def installed(files=V1, **kw):
        exe = make_install(install, files, **kw)
        monkeypatch.setattr(sys, "executable", exe)
        return exe

    ns = SimpleNamespace(www=www, srv=srv, install=install, installed=installed, tmp=private_tmp)
    yield ns
    ns.srv.close()


def header(root=ROOT):
    return [f"[Update] Detected platform: {OS_} {ARCH} ({DISPLAY})",
            f"[Update] Manifest file name: {MANIFEST}",
            f"[Update] Manifest URL: {root}{MANIFEST}"]


def run(capsys, version="1.0", widgets=None):
    w = widgets or Widgets()
    result = au.check_update(APP, version, w.label, w.bar)
    return result, capsys.readouterr().out.splitlines(), w


class TestInstallation:
    def test_module_constants(self):
        assert au.BASE_URL == "http://127.0.0.1:8000/" and au.UPDATE_URL == ROOT

    def test_platform_labels(self):
        assert au._detect_platform() == (OS_, ARCH, DISPLAY)

    def test_app_dir_is_the_executables_folder_as_reported(self, monkeypatch):
        monkeypatch.setattr(sys, "executable", "relative/dir/Shop")
        assert au._app_dir() == "relative/dir"
        monkeypatch.setattr(sys, "executable", "Shop")
        assert au._app_dir() == ""

    @pytest.mark.parametrize("content, key", [
        ('{"COMMUNITY_KEY": "K1"}', "K1"), ('{"COMMUNITY_KEY": 7}', 7), ("{}", None),
        ("[1]", None), ("not json", None), (b"\xff\xfe", None), (None, None)])
    def test_community_key(self, tmp_path, content, key):
        if isinstance(content, bytes):
            (tmp_path / "build.json").write_bytes(content)
        elif content is not None:
            (tmp_path / "build.json").write_text(content)
        assert au._load_community_key(str(tmp_path)) == key

    def test_gitignore_lines(self, tmp_path):
        assert au._read_gitignore(tmp_path) == []
        (tmp_path / ".gitignore").write_text("# c\n\n  *.tmp  \n   # also a comment\nlogs/\r\n")
        assert au._read_gitignore(tmp_path) == ["*.tmp", "logs/"]
        assert au._is_ignored("a/b.tmp", ["*.tmp"]) and au._is_ignored("x/logs/y", ["logs/"])
        assert not au._is_ignored("catalogs/y", ["logs/"]) and au._is_ignored("w/node_modules/p.js", [])
        assert not au._is_ignored("A.TMP", ["*.tmp"])  # case-sensitive


class TestEarlyStops:
    def test_installation_without_manifest_never_updates(self, site, capsys):
        site.installed()
        (site.install / MANIFEST).unlink()
        result, out, w = run(capsys)
        assert result is False and out == header() and w.events == []
        assert site.srv.log == []

    @pytest.mark.parametrize("content", [b"{not json", b'{"files": "\xff"}', b"\xef\xbb\xbf{}"])
    def test_unreadable_local_manifest_stops_silently(self, site, capsys, content):
        site.installed()
        (site.install / MANIFEST).write_bytes(content)
        result, out, w = run(capsys)
        assert result is False and out == header() and w.events == []

    def test_gitignore_that_is_not_utf8_is_passed_on(self, site, capsys):
        site.installed()
        (site.install / ".gitignore").write_bytes(b"\xff\n")
        with pytest.raises(UnicodeDecodeError):
            au.check_update(APP, "1.0")

    @pytest.mark.parametrize("build_json, root", [
        ('{"COMMUNITY_KEY": "K1"}', "http://127.0.0.1:8000/K1/media/update/"),
        ('{"COMMUNITY_KEY": ""}', ROOT), ("garbage", ROOT), (None, ROOT)])
    def test_channel_key_chooses_the_update_root(self, site, capsys, build_json, root):
        site.installed()
        if build_json is not None:
            (site.install / "build.json").write_text(build_json)
        publish_version(site.www, "1.0", V1, channel=root.removeprefix("http://127.0.0.1:8000/").strip("/"))
        result, out, w = run(capsys)
        assert result is False and out[:3] == header(root)
        assert out[3:] == [f"[Update] Downloading remote manifest: {root}{MANIFEST}",
                           out[4],
                           "[Update] Version matches (binary 1.0 == remote 1.0), skipping hash scan"]
        assert out[4].startswith("[Update] Remote manifest downloaded: ") and out[4].endswith("s)")
        assert w.texts() == ["Checking for updates...", "Already up to date"] and w.values() == [0]

    def test_equal_versions_hash_nothing_and_fetch_nothing_else(self, site, capsys):
        site.installed()
        (site.install / "lib" / "a.so").write_bytes(b"changed on disk")
        publish_version(site.www, "1.0", dict(V1, **{"lib/a.so": b"a2"}))
        assert run(capsys)[0] is False
        assert [(r.method, r.path) for r in site.srv.log] == [("GET", MANIFEST_PATH)]

    def test_manifest_size_is_reported_in_kilobytes(self, site, capsys):
        site.installed()
        doc = publish_version(site.www, "1.0", {f"f{i:04d}.bin": b"x" for i in range(300)})
        doc["notes"] = ["caf\u00e9 \U0001f600", "tab\there \"quoted\" \\ \u0001", 1.5, None, True]
        (site.www / "auth" / MANIFEST).write_text(json.dumps(doc, indent=2))
        size_kb = len(json.dumps(doc, ensure_ascii=False)) / 1024
        out = run(capsys)[1]
        assert out[4].startswith(f"[Update] Remote manifest downloaded: {size_kb:.1f}KB (")

    def test_manifest_size_counts_what_json_dumps_writes(self, site, capsys):
        # repeated members count once (the last copy), floats in repr form: 1e15 is 1000000000000000.0
        site.installed()
        doc = publish_version(site.www, "1.0", V1)
        big_files = json.dumps({f"old/f{i:04d}.bin": "0" * 64 for i in range(100)})
        # the winning files: keys out of order, one repeated (its last, short value counts), keys with escapes
        files = (json.dumps(doc["files"])[:-1] + ', "dup": "' + "y" * 400 + '", "a": "b", '
                 + ", ".join(f'"k\\u00e9\\/{i:03d}": "x"' for i in range(60)) + ', "dup": "y"}')
        text = json.dumps(doc)[:-1] + ', "files": ' + big_files + ', "files": ' + files
        text += ', "n": [' + ", ".join(["1e15", "2E-7", "NaN", "-Infinity", "1e400", "0.1"] * 60) + "]}"
        (site.www / "auth" / MANIFEST).write_text(text)
        size_kb = len(json.dumps(json.loads(text), ensure_ascii=False)) / 1024
        out = run(capsys)[1]
        assert out[4].startswith(f"[Update] Remote manifest downloaded: {size_kb:.1f}KB (")
        assert out[5] == "[Update] Version matches (binary 1.0 == remote 1.0), skipping hash scan"

    def test_the_files_member_that_wins_is_the_one_checked(self, site, capsys):
        site.installed()
        doc = publish_version(site.www, "1.0", V1)
        hostile = json.dumps({"../../outside.txt": "0" * 64})
        for text, last in [(json.dumps(doc)[:-1] + ', "files": ' + hostile + "}", "unsafe path in 'files': "
                            "'../../outside.txt')"),
                           (json.dumps(dict(doc, files=json.loads(hostile)))[:-1] + ', "files": '
                            + json.dumps(doc["files"]) + "}", "skipping hash scan")]:
            (site.www / "auth" / MANIFEST).write_text(text)
            assert run(capsys)[1][-1].endswith(last)

    def test_other_application_is_ignored(self, site, capsys):
        site.installed()
        publish_version(site.www, "2.0", V1, doc=manifest("2.0", V1, app="Other"))
        result, out, w = run(capsys)
        assert result is False and w.texts() == ["Checking for updates..."]
        assert not any("needed" in l for l in out)


class TestUnreachableServer:
    def test_pre_check_gives_up_without_requests(self, tmp_path, monkeypatch, capsys):
        if not port_8000_free():
            pytest.fail("127.0.0.1:8000 is taken; this test needs nothing listening there")
        monkeypatch.setattr(sys, "executable", make_install(tmp_path / "i", V1))
        result, out, w = run(capsys)
        assert result is False
        assert out[3:] == ["[Update] Update check failed: network unreachable, skipping "
                           "(server unreachable, pre-check 2s)"]
        assert w.texts() == ["Checking for updates...", "Update check failed: network unreachable, skipping"]


class TestManifestFetchFailures:
    """Each row retries three times (1 s and 2 s apart) before it decides."""

    @pytest.mark.parametrize("reply, printed, shown", [
        (Reply(404), "[Update] Update check failed: HTTP 404, skipping", "Update check failed: HTTP 404, skipping"),
        (Reply(reset=True),
         "[Update] Update check failed: network error, skipping (ConnectionResetError: [Errno 104] Connection reset by peer)",
         "Update check failed: network error, skipping"),
        (Reply(200, b"<!DOCTYPE html><html><head><title>Bad gateway</title></head></html>"),
         "[Update] Update check failed: server unresponsive, skipping "
         "(non-JSON response: '<!DOCTYPE html><html><head><title>Bad ga)",
         "Update check failed: server unresponsive, skipping"),
    ])
    def test_failure_rows(self, site, capsys, reply, printed, shown):
        site.installed()
        site.srv.script(MANIFEST_PATH, reply)
        result, out, w = run(capsys)
        assert result is False
        assert [l for l in out if "Fetch manifest attempt" in l][-1].startswith("[Update] Fetch manifest attempt 3/3")
        assert out[-1] == printed and w.texts() == ["Checking for updates...", shown]
        assert len(site.srv.requests(MANIFEST_PATH)) == 3

    def test_connection_failure_after_the_pre_check_is_a_network_error(self, site, capsys):
        site.installed()
        site.srv.script(MANIFEST_PATH, Reply(302, headers={"Location": f"http://127.0.0.1:{free_port()}/m"}))
        result, out, w = run(capsys)
        assert result is False
        assert out[-1] == "[Update] Update check failed: network error, skipping ([Errno 111] Connection refused)"
        assert w.texts()[-1] == "Update check failed: network error, skipping"

    def test_hostile_manifest_writes_nothing_anywhere(self, site, capsys, tmp_path):
        outside = tmp_path / "outside.txt"
        outside.write_bytes(b"untouched")
        site.installed()
        files = {"Shop": EXE_SCRIPT.encode(), "../../outside.txt": b"pwned", "lib/a.so": b"a2"}
        doc = {"app_name": APP, "version": "2.0", "os": OS_, "arch": ARCH,
               "files": {k: manifest("2.0", {k: v})["files"][k] for k, v in files.items()}}
        (site.www / "auth").mkdir()
        (site.www / "auth" / MANIFEST).write_text(json.dumps(doc))
        result, out, w = run(capsys)
        assert result is False
        assert out[-1] == ("[Update] Update check failed: server unresponsive, skipping "
                           "(unsafe path in 'files': '../../outside.txt')")
        assert outside.read_bytes() == b"untouched" and (site.install / "lib" / "a.so").read_bytes() == b"a1"
        assert staging_dirs(site.tmp) == [] and not (site.install / "update.sh").exists()
        assert [r.path for r in site.srv.log] == [MANIFEST_PATH] * 3


class TestProbeAndDirection:
    def test_missing_version_folder(self, site, capsys):
        site.installed()
        publish_version(site.www, "2.0", V1)
        (site.www / "auth" / f"{APP}-2.0-{DISPLAY}" / "Shop").unlink()
        result, out, w = run(capsys)
        probe = f"{ROOT}{APP}-2.0-{DISPLAY}/Shop"
        assert result is False
        assert out[-1] == f"[Update] Server version directory not found (2.0), skipping update probe={probe}"
        assert w.texts()[-1] == "Server version directory not found (2.0), skipping update"
        assert [r.path for r in site.srv.requests(method="HEAD")] == [probe.removeprefix("http://127.0.0.1:8000")]

    def test_failing_probe(self, site, capsys):
        site.installed()
        publish_version(site.www, "2.0", V1)
        site.srv.script(f"/auth/{APP}-2.0-{DISPLAY}/Shop", Reply(500))
        result, out, w = run(capsys)
        assert result is False
        assert out[-1].startswith("[Update] Update probe failed (HTTP 500), skipping update probe=")
        assert w.texts()[-1] == "Update probe failed (HTTP 500), skipping update"
        assert len(site.srv.requests(method="HEAD")) == 2

    @pytest.mark.parametrize("local, remote, direction", [("3.0.9", "3.0.10", "rollback"),
                                                          ("3.0.9", "3.1", "upgrade")])
    def test_nothing_to_do_between_versions(self, site, capsys, local, remote, direction):
        site.installed(version=local)
        publish_version(site.www, remote, V1)
        result, out, w = run(capsys, version=local)
        assert result is False
        assert out[-3:] == [
            "[Update] Remote version folder verified via HEAD: Shop (HTTP 200)",
            f"[Update] {direction} needed: binary={local} local_manifest={local} remote={remote}",
            "[Update] diff stats: to_download=0  to_delete(B\u2212A)=0  (remote.files=3  local.files=3)",
        ]
        assert w.texts()[-1] == f"New version {remote} found ({direction}), updating..."
        assert w.values() == [0]
        assert staging_dirs(site.tmp) == []
