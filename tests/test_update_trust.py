"""The update client against a hostile server on the built-in base URL: every
answer an attacker on the network could give is refused with one line, the
installation stays byte for byte as it was, and no staging folder is left.
Then what an honest signed release does: it installs, and so does a key
rotation signed by the pinned key."""
import json
import os
import shutil
import time
from types import SimpleNamespace

import pytest

from faultserver import Reply
from tarvik_cmd import auto_update as au
from tarvik_cmd import signing
from trust_fixtures import KEY_FILE, STATEMENT, new_key, publisher, released_files, site  # noqa: F401
from update_fixtures import (APP, DISPLAY, EXE_SCRIPT, MANIFEST, RunningApp, Widgets, manifest, private_tmp,
                             staging_dirs, tree, wait_for)

EXE = EXE_SCRIPT.encode()
V1 = {"Shop": EXE, "lib/a.so": b"a1", "data/b.txt": b"b1"}
V2 = {"Shop": EXE, "lib/a.so": b"a2", "data/b.txt": b"b1", "new.txt": b"n"}
DAY = 86400


def run(capsys, version="1.0"):
    w = Widgets()
    result = au.check_update(APP, version, w.label, w.bar)
    return result, capsys.readouterr().out.splitlines(), w


def failed_download(site, capsys, before):
    """Runs the check and asserts a failed download left the installation as
    it was; returns the lines and what stays staged for the next attempt."""
    result, out, _ = run(capsys)
    assert result is False
    files, links = site.snapshot()
    staged = {rel: data for rel, data in files.items() if rel.startswith(".tarvik_update/")}
    assert ({rel: data for rel, data in files.items() if rel not in staged}, links) == before
    assert not (site.install / "update.sh").exists() and staging_dirs(site.tmp) == []
    return out, {rel.split("/", 2)[2]: data for rel, data in staged.items()}


def refused(site, capsys, before, version="1.0"):
    """Runs the check and asserts the refusal left no trace; returns the lines."""
    result, out, w = run(capsys, version)
    assert result is False
    assert site.snapshot() == before
    assert not (site.install / "update.sh").exists()
    assert staging_dirs(site.tmp) == []
    return out, w


def refusal_line(out):
    (line,) = [l for l in out if l.startswith("[Update] Update refused: ")]
    return line


@pytest.fixture
def signed(site, publisher):
    """An installation of 1.0 pinning the publisher's key, at release counter 10."""
    site.installed(released_files(V1, publisher.pub), pub=None, key=publisher.key, counter=10)
    return publisher


class TestForgeries:
    def test_forged_manifest_beside_the_genuine_statement(self, site, signed, capsys):
        site.release("1.1", released_files(V2, signed.pub), key=signed.key, counter=20)
        evil = {**released_files(V2, signed.pub), "Shop": b"#!/bin/sh\necho owned\n"}
        site.served_manifest.write_text(json.dumps(manifest("1.1", evil), indent=2))
        before = site.snapshot()
        out, w = refused(site, capsys, before)
        assert refusal_line(out) == ("[Update] Update refused: the manifest is not the one the statement "
                                     "signed, skipping")
        assert "Update check failed: update refused, skipping" in w.texts()
        assert site.srv.requests(f"/auth/{APP}-1.1-{DISPLAY}/Shop") == []  # nothing fetched

    def test_statement_signed_by_another_key(self, site, signed, capsys):
        attacker, _ = new_key(site.keys, "attacker")
        site.release("1.1", released_files(V2, signed.pub), key=attacker, counter=20)
        out, _ = refused(site, capsys, site.snapshot())
        assert "the statement's signature does not verify with the pinned key" in refusal_line(out)
        # refused before the manifest is even asked for
        assert site.srv.requests(f"/auth/{MANIFEST}") == []

    @pytest.mark.parametrize("damage", ["missing", "garbage", "bit flip"])
    def test_missing_or_damaged_statement(self, site, signed, capsys, damage):
        site.release("1.1", released_files(V2, signed.pub), key=signed.key, counter=20)
        if damage == "missing":
            site.served_statement.unlink()
        elif damage == "garbage":
            site.served_statement.write_bytes(b"<html>not found</html>")
        else:
            doc = json.loads(site.served_statement.read_text())
            doc["statement"] = doc["statement"].replace('"counter":20', '"counter":99')
            site.served_statement.write_text(json.dumps(doc))
        out, _ = refused(site, capsys, site.snapshot())
        assert refusal_line(out).startswith("[Update] Update refused: ")

    def test_statement_for_another_app(self, site, signed, capsys):
        other = manifest("1.1", released_files(V2, signed.pub), app="Other")
        site.release("1.1", released_files(V2, signed.pub), key=signed.key, counter=20, doc=other)
        out, _ = refused(site, capsys, site.snapshot())
        assert "the statement is for Other " in refusal_line(out)

    def test_expired_statement(self, site, signed, capsys):
        site.release("1.1", released_files(V2, signed.pub), key=signed.key, counter=20,
                     signed_at=int(time.time()) - 10 * DAY, valid_days=1)
        out, _ = refused(site, capsys, site.snapshot())
        assert "the statement expired on " in refusal_line(out)


class TestRollbackAndFreeze:
    def test_genuine_older_release_is_not_installed(self, site, publisher, capsys):
        site.installed(released_files(V2, publisher.pub), version="1.1", key=publisher.key, counter=20)
        site.release("1.0", released_files(V1, publisher.pub), key=publisher.key, counter=10)
        out, _ = refused(site, capsys, site.snapshot(), version="1.1")
        assert refusal_line(out) == ("[Update] Update refused: version 1.0 is older than the installed 1.1, "
                                     "skipping")

    def test_versions_compare_as_releases_not_as_text(self, site, publisher, capsys):
        # 1.10 is newer than 1.9: no refusal, the update goes ahead to the probe
        site.installed(released_files(V1, publisher.pub), version="1.9", key=publisher.key, counter=10)
        site.release("1.10", released_files(V2, publisher.pub), key=publisher.key, counter=20)
        site.srv.script(f"/auth/{APP}-1.10-{DISPLAY}/Shop", Reply(404))
        result, out, _ = run(capsys, "1.9")
        assert result is False and not [l for l in out if "refused" in l]
        assert any(l.startswith("[Update] Server version directory not found (1.10)") for l in out)

    def test_lower_release_counter(self, site, publisher, capsys):
        site.installed(released_files(V1, publisher.pub), key=publisher.key, counter=50)
        site.release("1.1", released_files(V2, publisher.pub), key=publisher.key, counter=40)
        out, _ = refused(site, capsys, site.snapshot())
        assert "release counter 40 is lower than the installed 50" in refusal_line(out)

    def test_replayed_statement_with_a_newer_forged_manifest(self, site, signed, capsys):
        site.release("1.1", released_files(V2, signed.pub))
        shutil.copy(site.install / STATEMENT, site.served_statement)  # the genuine current statement
        before = site.snapshot()
        result, out, w = run(capsys)
        # the signed statement names the installed version: the forged manifest is never read
        assert result is False and w.texts()[-1] == "Already up to date" and site.snapshot() == before
        assert out[-1] == "[Update] Version matches (binary 1.0 == remote 1.0), skipping hash scan"
        assert site.srv.requests(f"/auth/{MANIFEST}") == []
        # a statement of 1.1 that is not the one the forged manifest carries
        evil = manifest("1.1", {**released_files(V2, signed.pub), "Shop": b"#!/bin/sh\necho owned\n"})
        site.served_manifest.write_text(json.dumps(evil))
        signing.sign_manifest(str(site.served_manifest), signed.key, counter=20)
        site.served_manifest.write_text(json.dumps(evil) + " " * 100)
        out, _ = refused(site, capsys, site.snapshot())
        # longer than the one signed: no attempt reads past the signed length
        assert out[-1].startswith("[Update] Update check failed: server unresponsive, skipping (response body "
                                  "longer than ")
        assert site.srv.requests(f"/auth/{APP}-1.1-{DISPLAY}/Shop") == []

    def test_replay_of_the_current_release_is_up_to_date_until_it_expires(self, site, signed, capsys):
        shutil.copy(site.install / MANIFEST, site.served_manifest)
        shutil.copy(site.install / STATEMENT, site.served_statement)
        result, out, w = run(capsys)
        assert result is False and w.texts()[-1] == "Already up to date"
        # the same replay once the statement has expired
        signing.sign_manifest(str(site.served_manifest), signed.key, counter=10,
                              signed_at=int(time.time()) - 100 * DAY, valid_days=90)
        out, _ = refused(site, capsys, site.snapshot())
        assert "expired" in refusal_line(out)

    def test_rerelease_of_the_same_version_is_accepted(self, site, signed, capsys):
        shutil.copy(site.install / MANIFEST, site.served_manifest)
        signing.sign_manifest(str(site.served_manifest), signed.key, counter=11)
        result, out, w = run(capsys)
        assert result is False and w.texts()[-1] == "Already up to date"
        assert "[Update] Signed statement verified: Shop 1.0, release counter 11" in out[3]
        assert out[4:] == ["[Update] Version matches (binary 1.0 == remote 1.0), skipping hash scan"]


class TestWhatAReleaseMayTouch:
    def test_unsigned_release_deleting_every_shipped_file(self, site, capsys):
        site.installed(V1)
        site.release("1.1", {})
        out, _ = refused(site, capsys, site.snapshot())
        assert refusal_line(out) == ("[Update] Update refused: the release would delete every shipped file "
                                     "and is not signed, skipping")

    def test_signed_release_may_empty_the_installation_but_keeps_the_pinned_key(self, site, signed, capsys):
        site.release("1.1", {}, key=signed.key, counter=20)
        update_and_wait(site, capsys, "1.0")
        assert not (site.install / "data" / "b.txt").exists() and not (site.install / "lib" / "a.so").exists()
        assert (site.install / KEY_FILE).read_text() == signed.pub
        assert json.loads((site.install / STATEMENT).read_text()) == json.loads(site.served_statement.read_text())

    @pytest.mark.parametrize("entry", ["dbs/app.sqlite3", "x/logs/today.log", "pkg/__pycache__/m.pyc",
                                       "manifest--Shop-linux-x64.json.sig"])
    def test_entries_in_the_users_folders_refuse_the_manifest(self, site, capsys, entry):
        site.installed(V1)
        site.release("1.1", {**V2, entry: b"attacker"})
        out, _ = refused(site, capsys, site.snapshot())
        why = ("unsafe path in 'files': " + repr(entry))[:60]
        assert out[-1] == f"[Update] Update check failed: server unresponsive, skipping ({why})"

    def test_deletion_never_follows_a_users_link_out_of_the_installation(self, site, capsys):
        exe = site.installed(V1)
        outside = site.outside / "data"
        outside.mkdir(parents=True)
        (outside / "b.txt").write_bytes(b"the user's own file")
        shutil.rmtree(site.install / "data")
        (site.install / "data").symlink_to(outside)
        site.release("1.1", {k: v for k, v in V2.items() if k != "data/b.txt"})
        app = RunningApp(exe)
        try:
            result, out, _ = run(capsys)
            assert result is True
            assert not [l for l in (site.install / "update.sh").read_text().split("\n") if "data/b.txt" in l]
        finally:
            app.stop()
        wait_for(lambda: not (site.install / "update.sh").exists(), "the update script to finish")
        assert (outside / "b.txt").read_bytes() == b"the user's own file"

    def test_writing_through_a_link_out_of_the_installation(self, site, capsys):
        site.installed(V1)
        outside = site.outside / "data"
        outside.mkdir(parents=True)
        (outside / "b.txt").write_bytes(b"b1")
        shutil.rmtree(site.install / "data")
        (site.install / "data").symlink_to(outside)
        site.release("1.1", {**V2, "data/b.txt": b"attacker"})
        out, _ = refused(site, capsys, site.snapshot())
        assert refusal_line(out) == ("[Update] Update refused: 'data/b.txt' would be written through a symbolic "
                                     "link out of the installation, skipping")
        assert (outside / "b.txt").read_bytes() == b"b1"


class TestBoundedTransfers:
    def test_endless_file_body_stops_at_the_manifests_bound(self, site, capsys):
        site.installed(V1)
        site.release("1.1", V2)
        path = f"/auth/{APP}-1.1-{DISPLAY}/new.txt"
        site.srv.script(path, Reply(200, b"x" * 65536, repeat=100000))
        out, staged = failed_download(site, capsys, site.snapshot())
        assert "new.txt" not in staged  # what came beyond the bound is no start of the file
        assert out[-1] == ("Download failed: new.txt - the server sent more than the 8388607 bytes the manifest "
                           "gives")
        assert len(site.srv.requests(path, "GET")) == 3
        assert site.srv.body_bytes(path) < 3 * (8 << 20) + (64 << 20)  # far from the 6.5 GB offered

    def test_endless_partial_body_stops_at_the_block(self, site, capsys):
        bs = 4096
        big1 = b"a" * bs + b"b" * bs + b"c" * bs
        big2 = b"a" * bs + b"B" * bs + b"c" * bs
        site.installed({**V1, "big.bin": big1}, blocks={"big.bin": bs})
        site.release("1.1", {**V1, "big.bin": big2}, )
        site.served_manifest.write_text(json.dumps(manifest("1.1", {**V1, "big.bin": big2}, {"big.bin": bs})))
        path = f"/auth/{APP}-1.1-{DISPLAY}/big.bin"
        site.srv.script(path, Reply(206, b"B" * 65536, {"Content-Range": f"bytes {bs}-{2 * bs - 1}/{3 * bs}"},
                                    repeat=100000))
        out, staged = failed_download(site, capsys, site.snapshot())
        assert "big.bin" not in staged  # the copy it was patching got no block
        assert out[-1] == "Download failed: big.bin - the server sent more than the 4096 bytes the manifest gives"

    @pytest.fixture
    def fast_limits(self, monkeypatch):
        monkeypatch.setenv("TARVIK_TRANSFER_TIME_SCALE", "0.05")

    def test_slow_drip_manifest(self, site, capsys, fast_limits):
        site.installed(V1)
        doc = site.release("1.1", V2)
        site.srv.script(f"/auth/{MANIFEST}", Reply(200, json.dumps(doc).encode(), drip=0.2))
        started = time.monotonic()
        out, _ = refused(site, capsys, site.snapshot())
        assert time.monotonic() - started < 30  # the drip alone would take minutes
        assert out[-1].startswith("[Update] Update check failed: network error, skipping (TimeoutError: timed out")

    def test_slow_drip_statement(self, site, signed, capsys, fast_limits):
        site.release("1.1", released_files(V2, signed.pub), key=signed.key, counter=20)
        site.srv.script(f"/auth/{STATEMENT}", Reply(200, site.served_statement.read_bytes(), drip=0.2))
        started = time.monotonic()
        out, _ = refused(site, capsys, site.snapshot())
        assert time.monotonic() - started < 30
        assert out[-1].startswith("[Update] Update check failed: network error, skipping (TimeoutError: timed out")

    def test_slow_drip_head(self, site, capsys, fast_limits):
        site.installed(V1)
        site.release("1.1", V2)
        probe = f"/auth/{APP}-1.1-{DISPLAY}/Shop"
        site.srv.script(probe, Reply(200, b"", drip=0.2))
        started = time.monotonic()
        out, _ = refused(site, capsys, site.snapshot())
        assert time.monotonic() - started < 30
        assert out[-1] == (f"[Update] Update probe failed (TimeoutError), skipping update "
                           f"probe=http://127.0.0.1:8000{probe}")


class TestUnsigned:
    def test_unsigned_installation_warns_once_and_updates_as_before(self, site, capsys, caplog):
        exe = site.installed(V1)
        site.release("1.1", V2)
        app = RunningApp(exe)
        try:
            result, out, _ = run(capsys)
            assert result is True
        finally:
            app.stop()
        warnings = [r.getMessage() for r in caplog.records if r.levelname == "WARNING"]
        assert warnings == [f"[Update] Warning: update metadata is not signed (this installation pins no key "
                            f"in {KEY_FILE}); the server's answer is taken as it stands"]
        wait_for(lambda: not (site.install / "update.sh").exists(), "the update script to finish")

    def test_a_damaged_pinned_key_never_means_unsigned(self, site, capsys):
        site.installed(V1)
        (site.install / KEY_FILE).write_text("-----BEGIN PUBLIC KEY-----\nnot a key\n-----END PUBLIC KEY-----\n")
        site.release("1.1", V2)
        out, _ = refused(site, capsys, site.snapshot())
        assert refusal_line(out) == (f"[Update] Update refused: the pinned key {KEY_FILE} is not an Ed25519 "
                                     f"public key, skipping")


def update_and_wait(site, capsys, version):
    """One update through the script, to its end; returns the printed lines."""
    app = RunningApp(str(site.install / "Shop"))
    try:
        result, out, _ = run(capsys, version)
        assert result is True, out
    finally:
        app.stop()
    wait_for(lambda: not (site.install / "update.sh").exists(), "the update script to finish")
    return out


class TestKeyRotation:
    def test_old_key_hands_over_to_the_new_one(self, site, publisher, capsys):
        site.installed(released_files(V1, publisher.pub), key=publisher.key, counter=10)
        new_path, new_pub = new_key(site.keys, "next")

        # 1.1, signed by the pinned key, ships the new key
        site.release("1.1", released_files(V2, new_pub), key=publisher.key, counter=20)
        update_and_wait(site, capsys, "1.0")
        assert (site.install / KEY_FILE).read_text() == new_pub
        assert signing.verify_statement((site.install / STATEMENT).read_text(), publisher.pub)["counter"] == 20

        # 1.2, signed by the new key, installs
        v3 = {**V2, "lib/a.so": b"a3"}
        site.release("1.2", released_files(v3, new_pub), key=new_path, counter=30)
        update_and_wait(site, capsys, "1.1")
        assert (site.install / "lib" / "a.so").read_bytes() == b"a3"

        # 1.3 signed by the old key is refused now
        site.release("1.3", released_files({**v3, "lib/a.so": b"a4"}, publisher.pub), key=publisher.key,
                     counter=40)
        out, _ = refused(site, capsys, site.snapshot(), version="1.2")
        assert "does not verify with the pinned key " + signing.key_id(new_pub) in refusal_line(out)


ODD = {"Shop": EXE, "a b.txt": b"space", "x#y.txt": b"hash", "q?.txt": b"question", "%41.bin": b"percent",
       "\u00fcn\u00ef/\u00e7\u00f8d\u00e9.txt": "non-ASCII".encode()}


def test_honest_release_with_odd_file_names_installs_through_the_devserver(tmp_path, monkeypatch, private_tmp,
                                                                           capsys):
    from publish_fixtures import DevServer, make_build
    from tarvik_cmd import publish
    from update_fixtures import make_install

    key_path, pub = new_key(tmp_path, "publisher")
    install = tmp_path / "install"
    make_install(install, released_files(V1, pub), key="K1")
    signing.sign_manifest(str(install / MANIFEST), key_path, counter=10)

    ws = tmp_path / "ws"
    files = released_files(ODD, pub)
    make_build(ws, files, version="1.1", manifest=manifest("1.1", files), display=DISPLAY)
    signing.sign_manifest(str(ws / "build" / MANIFEST), key_path, counter=20)
    monkeypatch.chdir(ws)
    with DevServer(tmp_path / "root", port=8000) as srv:  # found beside the real interpreter
        monkeypatch.setattr("sys.executable", str(install / "Shop"))
        assert publish.publish("linux", "") is True
        app = RunningApp(str(install / "Shop"))
        try:
            result, out, _ = run(capsys, "1.0")
            assert result is True, out
        finally:
            app.stop()
        wait_for(lambda: not (install / "update.sh").exists(), "the update script to finish")
    for rel, data in ODD.items():  # unencoded, "x#y.txt" would be asked for as "x" and "%41.bin" as "A.bin"
        assert (install / rel).read_bytes() == data, rel


@pytest.fixture
def tls_redirector(tmp_path, monkeypatch):
    """An https server (its certificate made trusted through SSL_CERT_FILE) that
    redirects every request to a plain http server which would answer."""
    import http.server
    import ssl
    import subprocess
    import threading
    from faultserver import FaultServer

    if not shutil.which("openssl"):
        pytest.skip("openssl command not found")
    cert, key = tmp_path / "c.pem", tmp_path / "k.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                    "-keyout", str(key), "-out", str(cert), "-days", "2", "-nodes", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1"], check=True, capture_output=True)
    plain = FaultServer()
    plain.script("/m", Reply(200, json.dumps({"app_name": "Shop", "version": "9", "files": {}}).encode()))

    class Redirect(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(302)
            self.send_header("Location", plain.url(self.path))
            self.send_header("Content-Length", "0")
            self.end_headers()

        do_HEAD = do_GET

        def log_message(self, *a):
            pass

    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Redirect)
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(str(cert), str(key))
    httpd.socket = ctx.wrap_socket(httpd.socket, server_side=True)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    monkeypatch.delenv("CURL_CA_BUNDLE", raising=False)  # it would come before SSL_CERT_FILE
    monkeypatch.setenv("SSL_CERT_FILE", str(cert))
    yield SimpleNamespace(url=f"https://127.0.0.1:{httpd.server_address[1]}", plain=plain)
    httpd.shutdown()
    httpd.server_close()
    plain.close()


def test_https_is_never_redirected_to_plain_http(tls_redirector, tmp_path, capsys):
    from urllib.error import URLError
    with pytest.raises(URLError, match="refused a redirect from https to plain http"):
        au._fetch_manifest(tls_redirector.url + "/m", 1)
    with pytest.raises(URLError, match="refused a redirect from https to plain http"):
        au._download(tls_redirector.url + "/m", tmp_path / "f", 1)
    assert au._url_head_ok(tls_redirector.url + "/m", 5.0, 1) == (False, "URLError")
    assert tls_redirector.plain.requests() == []  # the plain server was never asked
    assert not (tmp_path / "f").exists()


@pytest.mark.parametrize("older, newer", [
    ("1.9", "1.10"), ("1.0", "1.0.1"), ("1.0rc1", "1.0"), ("1.0.dev2", "1.0"), ("1.0a", "1.0b"),
    ("2.0", "10.0"), ("0.9.99", "1.0"), ("1.0", "1.0.0.1"), ("99999999999999999999", "100000000000000000000")])
def test_release_order_of_versions(older, newer):
    assert au._compare_versions(older, newer) < 0 < au._compare_versions(newer, older)


@pytest.mark.parametrize("same", [("1.0", "1.0.0"), ("1.0", "1-0"), ("01.2", "1.2"), ("1.0RC1", "1.0rc1")])
def test_versions_naming_one_release(same):
    assert au._compare_versions(*same) == 0


def test_file_url_paths_are_percent_encoded_per_component():
    assert au._url_path("a b/x#y?z%41\u00fc~._-.txt") == "a%20b/x%23y%3Fz%2541%C3%BC~._-.txt"
    assert au._url_path("plain/Path-1.2_x~") == "plain/Path-1.2_x~"
