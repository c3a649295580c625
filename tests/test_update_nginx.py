"""An update through nginx, an ordinary well-configured web server: a
published tree behind a redirect, dot-files denied, JSON compressed for
clients that offer it, ranges answered 206, kept-alive connections; and the
same tree over HTTPS with HTTP/2 and a test certificate authority."""
import json
import random
import sys
import urllib.error
import urllib.request

import pytest

from nginx_server import Nginx, find_nginx
from tarvik_cmd import auto_update as au
from tls_fixtures import no_ca_env, test_ca  # noqa: F401  (fixtures)
from update_fixtures import (APP, DISPLAY, EXE_SCRIPT, MANIFEST, RunningApp, Widgets, make_install, port_8000_free,
                             private_tmp, publish_version, tree, wait_for)

KEY = "nginx-channel"
ROOT = f"/{KEY}/media/update/"
FOLDER = f"{ROOT}{APP}-2.0-{DISPLAY}/"
BS = 65536
EXE = EXE_SCRIPT.encode()


def blob(seed, n):
    return random.Random(seed).randbytes(n)


BIG1 = blob(1, 40 * BS + 123)
BIG2 = BIG1[:5 * BS] + blob(2, BS) + BIG1[6 * BS:30 * BS] + blob(3, BS) + BIG1[31 * BS:]
# ".gitignore" comes first, as in every template build: the server denies it
V1 = {".gitignore": b"*.tmp\n", "Shop": EXE, "big.bin": BIG1, "lib/a.so": b"a1" * 5000,
      "docs/old.txt": b"gone in 2.0", ".config/app.ini": b"[app]\n"}
V2 = {".gitignore": b"*.tmp\n", "Shop": EXE, "big.bin": BIG2, "lib/a.so": b"a2" * 5000,
      "lib/new.so": b"new" * 3000, ".config/app.ini": b"[app]\n"}


def start_nginx(tmp_path, test_ca, front=None):
    binary = find_nginx()
    if binary is None:
        pytest.skip("nginx is not installed and could not be (scripts/setup.sh installs Debian's nginx-light)")
    www = tmp_path / "www"
    www.mkdir()
    server = Nginx(binary, tmp_path / "nginx", www, test_ca.cert, test_ca.key, front)
    server.www = www
    return server


@pytest.fixture
def nginx(tmp_path, test_ca):
    """Behind the built-in base URL: port 8000 redirects to it."""
    if not port_8000_free():
        pytest.fail("127.0.0.1:8000 is taken: check_update talks to the built-in base URL, "
                    "stop whatever listens there and run again")
    server = start_nginx(tmp_path, test_ca, front=8000)
    yield server
    server.stop()


@pytest.fixture
def nginx_alone(tmp_path, test_ca):
    server = start_nginx(tmp_path, test_ca)
    yield server
    server.stop()


def test_block_level_update_through_nginx(nginx, tmp_path, monkeypatch, private_tmp, capsys):
    # One connection, so that the log holds exactly one redirect per request
    # (the pool's own rules are tested against the development server).
    monkeypatch.setenv("TARVIK_UPDATE_CONNECTIONS", "1")
    install = tmp_path / "install"
    exe = make_install(install, V1, blocks={"big.bin": BS}, key=KEY)
    monkeypatch.setattr(sys, "executable", exe)
    doc = publish_version(nginx.www, "2.0", V2, {"big.bin": BS}, channel=ROOT.strip("/"))
    # the hardening rule is in force
    with pytest.raises(urllib.error.HTTPError) as denied:
        urllib.request.urlopen(urllib.request.Request(nginx.url(FOLDER + ".gitignore"), method="HEAD"))
    assert denied.value.code == 403
    # (nginx writes the line after it has answered)
    wait_for(lambda: len(nginx.log()) == 1, "nginx to log the denied request")
    checked = 1

    app = RunningApp(exe)
    try:
        w = Widgets()
        assert au.check_update(APP, "1.0", w.label, w.bar) is True
        out = capsys.readouterr().out.splitlines()
    finally:
        app.stop()
    assert "[Update] Remote version folder verified via HEAD: Shop (HTTP 200)" in out
    assert out[-1] == "[Update] diff stats: to_download=3  to_delete(B\u2212A)=1  (remote.files=6  local.files=6)"
    wait_for(lambda: not (install / "update.sh").exists(), "the update script to finish")
    wait_for(lambda: (install / "started.txt").exists(), "the restarted executable")
    assert tree(install, skip={"started.txt", "build.json", "update_crash.log"}) == {**V2, MANIFEST: json.dumps(doc, indent=2).encode()}

    def file_gets():
        return [r for r in nginx.log()[checked:] if r["uri"].startswith(FOLDER) and r["method"] == "GET"]

    def split_log():
        log = nginx.log()[checked:]
        # (only this channel's requests: a process another test left behind may
        # still ask port 8000 for its own)
        ours = [r for r in log if r["uri"].startswith(ROOT)]
        return [r for r in ours if r["port"] == str(nginx.front)], [r for r in ours if r["port"] == str(nginx.port)]

    # (each server block writes its line once it has answered: wait for both)
    wait_for(lambda: len(file_gets()) >= 4 and len(split_log()[0]) == len(split_log()[1]),
             "nginx to log the requests")
    front, served = split_log()
    # every request went through the redirect
    assert front and all(r["status"] == "302" for r in front)
    assert len(front) == len(served)
    (manifest_get,) = [r for r in served if r["uri"] == ROOT + MANIFEST]
    assert "gzip" in manifest_get["accept_encoding"] and manifest_get["content_encoding"] == "gzip"
    assert [(r["method"], r["uri"], r["status"]) for r in served if r["method"] == "HEAD"] == [
        ("HEAD", FOLDER + "Shop", "200")]
    files = [r for r in served if r["uri"].startswith(FOLDER) and r["method"] == "GET"]
    assert sorted((r["uri"].removeprefix(FOLDER), r["status"], r["range"]) for r in files) == [
        ("big.bin", "206", f"bytes={30 * BS}-{31 * BS - 1}"), ("big.bin", "206", f"bytes={5 * BS}-{6 * BS - 1}"),
        ("lib/a.so", "200", ""), ("lib/new.so", "200", "")]
    assert all(r["accept_encoding"] == "identity" and r["content_encoding"] == "" for r in files)
    # one kept-alive connection carried the whole exchange with the serving port
    assert len({r["conn"] for r in served}) == 1


class TestHttps:
    def test_http2_with_a_trusted_test_authority(self, nginx_alone, test_ca, no_ca_env, tmp_path):
        nginx = nginx_alone
        (nginx.www / "f.bin").write_bytes(BIG1)
        no_ca_env.setenv("SSL_CERT_FILE", str(test_ca.ca_file))
        dest = tmp_path / "f.bin"
        au._download(nginx.url("/f.bin", tls=True), dest, 1)
        assert dest.read_bytes() == BIG1
        patch = tmp_path / "patch.bin"
        patch.write_bytes(bytes(len(BIG1)))
        assert au._download_range(nginx.url("/f.bin", tls=True), patch, BS, 2 * BS - 1, 1) is True
        assert patch.read_bytes()[BS:2 * BS] == BIG1[BS:2 * BS]
        # HTTP/2 has no reason phrase: the standard one stands in
        with pytest.raises(urllib.error.HTTPError) as e:
            au._download(nginx.url("/missing.bin", tls=True), tmp_path / "m", 1)
        assert str(e.value) == "HTTP Error 404: Not Found"
        with pytest.raises(urllib.error.HTTPError) as e:
            au._download(nginx.url("/.hidden", tls=True), tmp_path / "h", 1)
        assert str(e.value) == "HTTP Error 403: Forbidden"
        def tls_rows():
            return [r for r in nginx.log() if r["port"] == str(nginx.tls_port)]

        # nginx writes a request's log line after its answer has gone out
        wait_for(lambda: len(tls_rows()) >= 4, "nginx to log the requests")
        tls = tls_rows()
        assert {r["proto"] for r in tls} == {"HTTP/2.0"} and len(tls) == 4

    def test_untrusted_authority_is_refused(self, nginx_alone, no_ca_env, tmp_path):
        nginx = nginx_alone
        (nginx.www / "f.bin").write_bytes(b"x")
        with pytest.raises(urllib.error.URLError) as e:
            au._download(nginx.url("/f.bin", tls=True), tmp_path / "f", 1)
        assert not isinstance(e.value, urllib.error.HTTPError)
        assert au._url_head_ok(nginx.url("/f.bin", tls=True), 5.0, 1) == (False, "URLError")
        assert not (tmp_path / "f").exists()
