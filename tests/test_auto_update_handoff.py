"""check_update from the difference computation to the running update script:
what is fetched (whole files and single blocks), what is deleted, the staged
folder, the progress shown, every failure of the download phase, and the
script replacing the installation. The server listens on 127.0.0.1:8000."""
import json
import os
import random
import re
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace

import pytest

from tarvik_cmd import auto_update as au
from update_fixtures import (APP, DISPLAY, EXE_SCRIPT, MANIFEST, RunningApp, Widgets, make_install, manifest,
                             private_tmp, publish_version, staging_dirs, tree, update_server, wait_for)

BS = 65536
FOLDER = f"/auth/{APP}-2.0-{DISPLAY}"
EXE = EXE_SCRIPT.encode()


def blob(seed, n):
    return random.Random(seed).randbytes(n)


def with_block(data, index, seed):
    return data[:index * BS] + blob(seed, BS) + data[(index + 1) * BS:]


@pytest.fixture
def site(tmp_path, monkeypatch, private_tmp):
    www = tmp_path / "www"
    www.mkdir()
    srv = update_server(www)
    install = tmp_path / "install"

    def installed(files, exe="Shop", **kw):
        path = make_install(install, files, exe=exe, **kw)
        monkeypatch.setattr(sys, "executable", path)
        return path

    ns = SimpleNamespace(www=www, srv=srv, install=install, installed=installed, tmp=private_tmp)
    yield ns
    ns.srv.close()


def run(capsys, widgets=None, version="1.0"):
    w = widgets or Widgets()
    result = au.check_update(APP, version, w.label, w.bar)
    return result, capsys.readouterr().out.splitlines(), w


def gets(srv, path=None):
    return [(r.path.removeprefix(FOLDER + "/"), r.headers.get("Range")) for r in srv.requests(path, "GET")
            if r.path.startswith(FOLDER)]


def finish(site, exe=None):
    """Waits until the update script has run to its end."""
    wait_for(lambda: not (site.install / "update.sh").exists(), "the update script to finish")
    wait_for(lambda: (site.install / "started.txt").exists(), "the restarted executable")


BIG_V1 = blob(1, 5 * BS + 1000)
TAIL_V1 = blob(2, 10 * BS)
V1 = {
    "Shop": EXE, ".gitignore": b"*.tmp\n", "same.txt": b"same", "changed.txt": b"old", "big.bin": BIG_V1,
    "tail.bin": TAIL_V1, "gone-on-disk.txt": b"g", "old.txt": b"old", "vanished.txt": b"v",
    "logs/a.log": b"l", "data/logs/b.log": b"l", "x/__pycache__/m.pyc": b"p", "dbs/main.db": b"db",
    "web/node_modules/p/i.js": b"j", "ignored.tmp": b"t", "lib/manifest-extra.json": b"{}",
    "update.bat": b"", "catalogs/c.txt": b"c", "mylogs/d.txt": b"d",
}
V2 = {
    "Shop": EXE, ".gitignore": b"*.tmp\n", "same.txt": b"same", "changed.txt": b"new",
    "big.bin": with_block(BIG_V1, 3, 9), "tail.bin": TAIL_V1[:7 * BS], "gone-on-disk.txt": b"g2",
    "new/deep/file.txt": b"brand new",
}
BLOCKS = {"big.bin": BS, "tail.bin": BS}


class TestDiffAndHandOver:
    def test_update_fetches_changed_blocks_and_files_and_deletes_the_rest(self, site, capsys, tmp_path):
        local = manifest("1.0", V1, BLOCKS)
        local["files"]["../victim.txt"] = "0" * 64  # an unsafe path: never deleted
        exe = site.installed(V1, local_manifest=local)
        (tmp_path / "victim.txt").write_bytes(b"keep me")
        (site.install / "gone-on-disk.txt").unlink()
        (site.install / "vanished.txt").unlink()
        doc = publish_version(site.www, "2.0", V2, BLOCKS)

        app = RunningApp(exe)
        try:
            result, out, w = run(capsys)
            assert result is True
            assert out[-1] == (f"[Update] diff stats: to_download=5  to_delete(B\u2212A)=3  "
                               f"(remote.files=8  local.files={len(local['files'])})")
            assert sorted(gets(site.srv)) == sorted([
                ("changed.txt", None), ("big.bin", "bytes=196608-262143"), ("tail.bin", None),
                ("gone-on-disk.txt", None), ("new/deep/file.txt", None)])
            assert staging_dirs(site.tmp) == []  # staged on the installation's file system, not in /tmp
            (staged,) = staging_dirs(site.install / ".tarvik_update")
            assert staged.stat().st_mode & 0o777 == 0o700
            assert tree(staged) == {**{k: V2[k] for k in ("changed.txt", "big.bin", "tail.bin", "gone-on-disk.txt",
                                                          "new/deep/file.txt")},
                                    MANIFEST: json.dumps(doc, indent=2).encode()}
            script = (site.install / "update.sh").read_text().split("\n")
            # the deletions move to the backup by rename, the executable last
            assert [l for l in script if l.startswith("    off ")] == [
                '    off "." "old.txt" || return 1', '    off "catalogs" "c.txt" || return 1',
                '    off "mylogs" "d.txt" || return 1']
            assert f'new_exe="{exe}"' in script and "sleep 3" not in script
        finally:
            app.stop()
        finish(site)
        kept = {k: V1[k] for k in ("logs/a.log", "data/logs/b.log", "x/__pycache__/m.pyc", "dbs/main.db",
                                   "web/node_modules/p/i.js", "ignored.tmp", "lib/manifest-extra.json",
                                   "update.bat")}
        assert tree(site.install, skip={"started.txt", "update_crash.log"}) == {
            **V2, **kept, MANIFEST: json.dumps(doc, indent=2).encode()}
        assert (tmp_path / "victim.txt").read_bytes() == b"keep me"
        assert staging_dirs(site.tmp) == []
        # the next start finds the new version installed
        assert run(capsys, version="2.0")[1][-1].startswith("[Update] Version matches")

    def test_one_way_compare_when_the_local_manifest_has_no_files(self, site, capsys):
        site.installed({"Shop": EXE, "a.txt": b"a1", "extra.txt": b"x"}, local_manifest=["not", "an", "object"])
        publish_version(site.www, "2.0", {"Shop": EXE, "a.txt": b"a2", "b.bin": blob(3, 3 * BS)}, {"b.bin": BS})
        result, out, w = run(capsys)
        assert result is True
        assert "[Update] upgrade needed: binary=1.0 local_manifest=? remote=2.0" in out
        assert out[-2:] == [
            "[Update] local manifest missing 'files', falling back to one-way compare (no delete)",
            "[Update] diff stats: to_download=2  to_delete(B\u2212A)=0  (remote.files=3  local.files=N/A)"]
        finish(site)
        assert (site.install / "extra.txt").exists() and (site.install / "a.txt").read_bytes() == b"a2"

    def test_empty_remote_file_list_skips_the_probe_and_deletes_what_is_not_protected(self, site, capsys, tmp_path):
        # Only a signed release may delete every shipped file (tests/test_update_trust.py).
        from tarvik_cmd import signing
        pub = signing.generate_key(str(tmp_path / "k.pem"))
        site.installed({"Shop": EXE, "a.txt": b"a", "dbs/x.db": b"x", signing.PINNED_KEY_FILE: pub.encode()})
        publish_version(site.www, "2.0", {})
        signing.sign_manifest(str(site.www / "auth" / MANIFEST), str(tmp_path / "k.pem"))
        capsys.readouterr()
        result, out, w = run(capsys)
        assert result is True and site.srv.requests(method="HEAD") == []
        assert "to_delete(B\u2212A)=2" in out[-1]
        wait_for(lambda: not (site.install / "update.sh").exists(), "the update script to finish")
        assert not (site.install / "a.txt").exists() and (site.install / "dbs" / "x.db").exists()
        # the executable the script starts again is never among the deletions
        assert (site.install / "Shop").exists()

    def test_renamed_executable_is_started_and_the_old_one_removed(self, site, capsys):
        launcher = site.installed({"a.txt": b"1"}, exe="launcher")
        publish_version(site.www, "2.0", {"Shop": EXE, "a.txt": b"2"})
        app = RunningApp(launcher)
        try:
            assert run(capsys)[0] is True
            script = (site.install / "update.sh").read_text().split("\n")
            assert f'new_exe="{site.install}/Shop"' in script and f'old_exe="{launcher}"' in script
            # the old executable leaves through the backup, after everything else
            assert [l for l in script if l.startswith(("    put ", "    off "))][-2:] == [
                '    off "." "launcher" || return 1', f'    put "." "{MANIFEST}" "Shop" || return 1']
        finally:
            app.stop()
        wait_for(lambda: not Path(launcher).exists(), "the old executable's removal")
        finish(site)
        assert (site.install / "started.txt").read_text().strip() == f"{site.install}/Shop"


    def test_executable_the_new_version_no_longer_lists_is_kept_and_restarted(self, site, capsys):
        # Neither the running executable nor one named after the app is in the
        # new version: the running one is started again, so it must survive.
        launcher = site.installed({"launcher": EXE, "a.txt": b"1"}, exe="launcher")
        publish_version(site.www, "2.0", {"a.txt": b"2"})
        app = RunningApp(launcher)
        try:
            assert run(capsys)[0] is True
            script = (site.install / "update.sh").read_text().split("\n")
            assert not any(line.startswith(("rm -f", "    off ")) and "launcher" in line for line in script)
            assert f'new_exe="{launcher}"' in script and script[-1] == 'rm -- "$0"'
        finally:
            app.stop()
        finish(site)
        assert (site.install / "a.txt").read_bytes() == b"2"
        assert (site.install / "started.txt").read_text().strip() == launcher

    def test_a_shipped_update_sh_is_not_copied_over_the_running_script(self, site, capsys):
        exe = site.installed({"Shop": EXE, "a.txt": b"1"})
        publish_version(site.www, "2.0", {"Shop": EXE, "a.txt": b"2", "update.sh": b"echo shipped\n",
                                          "tools/update.sh": b"kept\n"})
        app = RunningApp(exe)
        try:
            result, out, _ = run(capsys)
            assert result is True and "to_download=2" in out[-1]
        finally:
            app.stop()
        finish(site)
        assert (site.install / "a.txt").read_bytes() == b"2"
        assert (site.install / "tools" / "update.sh").read_bytes() == b"kept\n"
        assert not (site.install / "update.sh").exists()

    def test_script_runs_detached_with_nothing_inherited(self, site, capsys):
        exe = site.installed({"Shop": EXE, "a.txt": b"1"})
        publish_version(site.www, "2.0", {"Shop": EXE, "a.txt": b"2"})
        leaked = os.open(os.devnull, os.O_RDONLY)
        os.set_inheritable(leaked, True)
        app = RunningApp(exe)
        try:
            assert run(capsys)[0] is True
            script = str(site.install / "update.sh")
            found = subprocess.run(["pgrep", "-f", "-x", f"bash {script}"], capture_output=True, text=True)
            (pid,) = found.stdout.split()
            proc = Path("/proc") / pid
            fds = {int(fd): os.readlink(proc / "fd" / fd) for fd in os.listdir(proc / "fd")}
            assert {fd: fds[fd] for fd in (0, 1, 2)} == {0: "/dev/null", 1: "/dev/null", 2: "/dev/null"}
            assert set(fds) - {0, 1, 2} <= {255}  # bash's own handle on the script
            assert fds.get(255, script) == script
            fields = (proc / "stat").read_text().rpartition(")")[2].split()
            assert fields[3] == pid  # the session it leads
            assert os.readlink(proc / "cwd") == str(site.install)
        finally:
            os.close(leaked)
            app.stop()
        finish(site)


class TestProgress:
    def test_texts_for_whole_files(self, site, capsys, monkeypatch):
        # one connection: the files complete in list order (the pool reports in completion order)
        monkeypatch.setenv("TARVIK_UPDATE_CONNECTIONS", "1")
        site.installed({"Shop": EXE})
        publish_version(site.www, "2.0", {"Shop": EXE, "a.bin": b"a" * 1572864, "sub/b.bin": b"b" * 524288})
        w = Widgets()
        assert run(capsys, w)[0] is True
        assert w.texts() == [
            "Checking for updates...", "New version 2.0 found (upgrade), updating...",
            "Preparing to download 2 files  0.0MB / 0.0MB (0%)",
            "Downloading a.bin  1.5MB / 1.5MB (100%)", "Downloading b.bin  2.0MB / 2.0MB (100%)",
            "Update download complete, applying..."]
        assert w.values()[-1] == 100 and all(0 <= v <= 100 for v in w.values())
        # the label shows each text at once
        assert all(w.events[i + 1] == ("label.update",) for i, e in enumerate(w.events) if e[0] == "text")
        finish(site)

    def test_label_alone_shows_no_download_progress(self, site, capsys):
        site.installed({"Shop": EXE})
        publish_version(site.www, "2.0", {"Shop": EXE, "a.txt": b"a"})
        w = Widgets()
        w.bar = None
        assert run(capsys, w)[0] is True
        assert w.texts() == ["Checking for updates...", "New version 2.0 found (upgrade), updating...",
                             "Update download complete, applying..."]
        finish(site)

    def test_server_ignoring_ranges_sends_the_whole_file_once(self, site, capsys, tmp_path):
        site.srv.close()
        site.srv = update_server(site.www, honour_ranges=False)
        big1 = blob(4, 6 * BS)
        big2 = with_block(with_block(big1, 1, 5), 4, 6)
        site.installed({"Shop": EXE, "big.bin": big1}, blocks={"big.bin": BS})
        publish_version(site.www, "2.0", {"Shop": EXE, "big.bin": big2}, {"big.bin": BS})
        w = Widgets()
        result, out, _ = run(capsys, w)
        assert result is True
        assert gets(site.srv) == [("big.bin", "bytes=65536-131071")]
        # 6 blocks arrived where 2 were planned: the label passes 100%, the bar stops there
        assert w.texts()[2] == "Preparing to download 1 files  0.0MB / 0.1MB (0%)"
        assert w.texts()[-1] == "Update download complete, applying..."
        assert max(w.values()) == 100
        finish(site)
        assert (site.install / "big.bin").read_bytes() == big2


class TestVerification:
    def test_patched_file_that_mismatches_is_fetched_whole(self, site, capsys):
        big1 = blob(7, 4 * BS)
        big2 = with_block(with_block(big1, 0, 8), 2, 9)
        site.installed({"Shop": EXE, "big.bin": big1}, blocks={"big.bin": BS})
        doc = manifest("2.0", {"Shop": EXE, "big.bin": big2}, {"big.bin": BS})
        doc["files"]["big.bin"]["blocks"][0] = manifest("1", {"x": big1[:BS]})["files"]["x"]  # stale block hash
        publish_version(site.www, "2.0", {"Shop": EXE, "big.bin": big2}, doc=doc)
        result, out, w = run(capsys)
        assert result is True
        assert "[Update] block verify mismatch for big.bin, falling back to full download" in out
        assert gets(site.srv) == [("big.bin", "bytes=131072-196607"), ("big.bin", None)]
        finish(site)
        assert (site.install / "big.bin").read_bytes() == big2

    @pytest.mark.parametrize("name, blocks", [("big.bin", {"big.bin": BS}), ("small.txt", {})])
    def test_file_that_still_mismatches_fails_the_update(self, site, capsys, name, blocks):
        old = blob(10, 3 * BS)
        promised = with_block(old, 1, 11)
        served = with_block(promised, 1, 12)  # not what the manifest promises
        site.installed({"Shop": EXE, name: old}, blocks=blocks)
        doc = manifest("2.0", {"Shop": EXE, name: promised}, blocks)
        publish_version(site.www, "2.0", {"Shop": EXE, name: served}, doc=doc)
        result, out, w = run(capsys)
        assert result is False
        failed = [l for l in out if l.startswith("Download failed: ")]
        assert failed == [f"Download failed: {name} - downloaded file does not match the manifest "
                          f"(sha256 {manifest('x', {'f': served})['files']['f']}, "
                          f"expected {manifest('x', {'f': promised})['files']['f']})"]
        assert w.texts()[-1] == "Update download failed, skipping" and w.values()[-1] == 0
        assert staging_dirs(site.tmp) == [] and not (site.install / "update.sh").exists()
        assert (site.install / name).read_bytes() == old


class TestDownloadFailures:
    def test_failure_on_the_third_of_five_files_discards_everything(self, site, capsys, monkeypatch):
        # one connection: the files after the failed one are never asked for
        monkeypatch.setenv("TARVIK_UPDATE_CONNECTIONS", "1")
        site.installed({"Shop": EXE})
        files = {f"f{i}.txt": f"content {i}".encode() for i in range(1, 6)}
        publish_version(site.www, "2.0", {"Shop": EXE, **files})
        (site.www / "auth" / f"{APP}-2.0-{DISPLAY}" / "f3.txt").unlink()
        result, out, w = run(capsys)
        assert result is False
        assert out[-1] == "Download failed: f3.txt - HTTP Error 404: Not Found"
        assert [p for p, _ in gets(site.srv)] == ["f1.txt", "f2.txt", "f3.txt", "f3.txt", "f3.txt"]
        assert w.texts()[-1] == "Update download failed, skipping" and w.values()[-1] == 0
        assert staging_dirs(site.tmp) == []
        # the installation is untouched; the two verified files stay staged for the next attempt
        update_dir = site.install / ".tarvik_update"
        assert {k: v for k, v in tree(site.install).items() if not k.startswith(".tarvik_update/")} == {
            "Shop": EXE, MANIFEST: (site.install / MANIFEST).read_bytes()}
        (staged,) = staging_dirs(update_dir)
        assert tree(staged) == {"f1.txt": b"content 1", "f2.txt": b"content 2"}
        assert not (update_dir / "lock").exists()

    def test_script_that_cannot_be_written_is_passed_on_and_the_staging_removed(self, site, capsys):
        site.installed({"Shop": EXE, "a.txt": b"1"})
        publish_version(site.www, "2.0", {"Shop": EXE, "a.txt": b"2"})
        (site.install / "update.sh").mkdir()
        with pytest.raises(IsADirectoryError):
            au.check_update(APP, "1.0")
        assert staging_dirs(site.tmp) == [] and (site.install / "a.txt").read_bytes() == b"1"
        assert not (site.install / ".tarvik_update").exists()

    def test_script_that_cannot_start_is_logged_and_undone(self, site, capsys, monkeypatch, tmp_path):
        site.installed({"Shop": EXE, "a.txt": b"1"})
        publish_version(site.www, "2.0", {"Shop": EXE, "a.txt": b"2"})
        empty = tmp_path / "no-programs-here"
        empty.mkdir()
        monkeypatch.setenv("PATH", str(empty))
        result, out, w = run(capsys)
        assert result is False
        assert "[Update] FATAL: failed to start update script." in out
        assert "FileNotFoundError: [Errno 2] No such file or directory: 'bash'" in out
        log = (site.install / "update_crash.log").read_text()
        assert re.match(r"===== \d{4}-\d\d-\d\d \d\d:\d\d:\d\d =====\n"
                        rf"script_path={re.escape(str(site.install))}/update\.sh\n"
                        r"FileNotFoundError: \[Errno 2\] No such file or directory: 'bash'\n", log)
        assert log.count("\n") >= 4
        assert w.texts()[-1] == "Update script failed to start, skipping (see update_crash.log)"
        assert not (site.install / "update.sh").exists() and staging_dirs(site.tmp) == []
        assert (site.install / "a.txt").read_bytes() == b"1"
        assert not (site.install / ".tarvik_update").exists()
