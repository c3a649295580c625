"""The development update server as a real process on a free port: refusals of
unsafe keys and paths, the upload code, byte ranges, when a manifest becomes
visible, readers during an upload, and stopping."""
import http.client
import json
import signal
import socket
import subprocess

import pytest

from publish_fixtures import DevServer, devserver_path

MANIFEST = "manifest--Shop-linux-x64.json"
FOLDER = "/K1/media/update/Shop-1.0-Linux/"


def manifest(files, version="1.0"):
    return json.dumps({"app_name": "Shop", "version": version, "os": "linux", "arch": "x64",
                       "files": dict.fromkeys(files, "h")}).encode()


def multipart(parts, code=None, boundary="b0und4ry"):
    """parts: [(name, filename, bytes)]; the code field first when given."""
    out = b""
    if code is not None:
        out += (f'--{boundary}\r\nContent-Disposition: form-data; name="code"\r\n\r\n').encode() + code + b"\r\n"
    for name, filename, data in parts:
        out += (f'--{boundary}\r\nContent-Disposition: form-data; name="{name}"; filename="{filename}"\r\n'
                f'Content-Type: application/octet-stream\r\n\r\n').encode("utf-8", "surrogateescape") + data + b"\r\n"
    return out + f"--{boundary}--\r\n".encode(), f"multipart/form-data; boundary={boundary}"


def request(srv, method, path, body=None, headers=None):
    conn = http.client.HTTPConnection("127.0.0.1", srv.port, timeout=10)
    try:
        conn.request(method, path, body=body, headers=headers or {})
        r = conn.getresponse()
        return r.status, r.read(), dict(r.getheaders())
    finally:
        conn.close()


def upload(srv, parts, key="K1", code=None):
    body, ctype = multipart(parts, code)
    return request(srv, "POST", f"/auth/{key}/", body, {"Content-Type": ctype})[:2]


def stored_files(root):
    return sorted(str(p.relative_to(root)) for p in root.rglob("*") if p.is_file())


@pytest.fixture
def served(tmp_path):
    root = tmp_path / "root"
    with DevServer(root) as srv:
        srv.root = root
        yield srv


@pytest.mark.parametrize("path", [
    "/../media/update/x", "/K1/media/update/../../../etc/passwd", "/K1/media/update/a//b",
    "/K1/media/update/a%5Cb", "/K1/media/update/a%00b", "/%2e%2e/media/update/x", "/K1/media/update/./a",
    "/auth/../", "/auth/%2E%2E/", "/auth/a%5Cb/", "/auth//", "/auth/C:/", "//K1/media/update/a",
])
def test_unsafe_keys_and_paths_are_refused(served, path):
    assert request(served, "GET", path)[0] == 400
    assert request(served, "HEAD", path)[0] == 400
    assert upload_to(served, path) == 400
    assert stored_files(served.root) == []
    assert [l.split(" ", 2)[2] for l in served.requests(count=3)] == ["400 refused: unsafe path"] * 3


def upload_to(srv, path):
    body, ctype = multipart([("manifest", MANIFEST, manifest(["a"])), ("a", "a", b"x")])
    return request(srv, "POST", path, body, {"Content-Type": ctype})[0]


@pytest.mark.parametrize("name", ["../evil", "/abs", "a//b", "a\\b", "a\x00b", ".", "sub/../../x", "C:x", "sub/"])
def test_a_batch_with_an_unsafe_part_is_refused_whole(served, name):
    status, body = upload(served, [("manifest", MANIFEST, manifest(["a"])), ("a", "a", b"x"), (name, name, b"y")])
    assert (status, body.startswith(b"refused: unsafe path")) == (400, True)
    assert stored_files(served.root) == []
    assert request(served, "GET", "/auth/K1/")[0] == 404


def test_upload_code(tmp_path):
    root = tmp_path / "root"
    parts = [("manifest", MANIFEST, manifest(["a"])), ("a", "a", b"x")]
    with DevServer(root, code="s3") as srv:
        assert upload(srv, parts) == (403, b"refused: upload code missing")
        assert upload(srv, parts, code=b"s4") == (403, b"refused: wrong upload code")
        assert upload(srv, parts, code=b"s3x") == (403, b"refused: wrong upload code")
        assert stored_files(root) == []
        assert upload(srv, parts, code=b"s3")[0] == 201
    assert stored_files(root) == ["K1/incoming/manifest.bytes", "K1/incoming/pending.json",
                                  f"K1/media/update/Shop-1.0-Linux/a", f"K1/media/update/{MANIFEST}",
                                  "K1/published.json"]


def test_manifest_is_served_once_its_files_are_there(served):
    files = {f"f{i}": bytes([i]) * (i + 1) for i in range(5)}
    doc = manifest(list(files) + ["media/not-sent"])
    assert upload(served, [("f4", "f4", files["f4"])]) == \
        (409, b"refused: no upload in progress for this channel: the first batch must carry the manifest")
    assert upload(served, [("manifest", MANIFEST, doc), ("f0", "f0", files["f0"])])[0] == 201
    for status_path in ["/auth/K1/", f"/K1/media/update/{MANIFEST}"]:
        assert request(served, "GET", status_path)[0] == 404
    status, body = upload(served, [(n, n, files[n]) for n in ("f1", "f2", "f3", "f4")])
    assert (status, json.loads(body)) == (201, {"stored": 4, "published": True})
    assert request(served, "GET", "/auth/K1/")[:2] == (200, b'{"app_name":"Shop","version":"1.0"}')
    assert request(served, "GET", f"/K1/media/update/{MANIFEST}")[1] == doc
    # a later batch of the same upload (build.json is not in the manifest) still lands
    assert upload(served, [("build.json", "build.json", b"{}")]) == (201, b'{"published":true,"stored":1}')
    assert request(served, "GET", FOLDER + "build.json")[1] == b"{}"
    # a file called "manifest" is a file, not a second manifest
    assert upload(served, [("manifest", "manifest", b"plain")])[0] == 201
    assert request(served, "GET", FOLDER + "manifest")[1] == b"plain"
    # (the server logs a request once it has answered it: two quick ones may log in either order)
    assert sorted(l.split(" ", 3)[3] for l in served.requests("POST", count=5)) == sorted([
        "refused: no upload in progress for this channel: the first batch must carry the manifest",
        "files=1 manifest", "files=4 published", "files=1 published", "files=1 published"])


def test_a_failed_store_leaves_no_temporary_file_where_clients_read(served):
    """The served manifest is written aside and renamed into place; when that
    fails, no partial or temporary copy is left under media/update."""
    blocker = served.root / "K1" / "media" / "update" / MANIFEST / "in-the-way"
    blocker.mkdir(parents=True)
    parts = [("manifest", MANIFEST, manifest(["a"])), ("a", "a", b"x")]
    assert upload(served, parts)[0] == 500
    assert request(served, "GET", f"/K1/media/update/{MANIFEST}.part")[0] == 404
    assert [p.name for p in (served.root / "K1" / "media").rglob("*") if p.is_file()] == ["a"]
    assert request(served, "GET", "/auth/K1/")[0] == 404

    blocker.rmdir()
    blocker.parent.rmdir()
    assert upload(served, parts)[0] == 201
    assert request(served, "GET", f"/K1/media/update/{MANIFEST}")[1] == manifest(["a"])


def test_ranges_and_head(served):
    data = bytes(range(256)) * 40
    upload(served, [("manifest", MANIFEST, manifest(["big"])), ("big", "big", data)])
    url = FOLDER + "big"
    for header, status, part, content_range in [
        ("bytes=100-299", 206, data[100:300], "bytes 100-299/10240"),
        ("bytes=10000-", 206, data[10000:], "bytes 10000-10239/10240"),
        ("bytes=-16", 206, data[-16:], "bytes 10224-10239/10240"),
        ("bytes=10200-99999", 206, data[10200:], "bytes 10200-10239/10240"),
        ("bytes=0-1,5-6", 200, data, None),
        ("bytes=10240-10300", 416, b"", "bytes */10240"),
    ]:
        status_got, body, headers = request(served, "GET", url, headers={"Range": header})
        assert (status_got, body, headers.get("Content-Range")) == (status, part, content_range), header
    status, body, headers = request(served, "HEAD", url)
    assert (status, body, headers["Content-Length"]) == (200, b"", "10240")
    assert request(served, "GET", FOLDER + "missing")[0] == 404
    log = served.requests(count=9)
    assert f"GET {url} 206 range=bytes=100-299 bytes=200" in log
    assert f"GET {url} 200 range=bytes=0-1,5-6 bytes=10240" in log
    assert f"HEAD {url} 200" in log


def test_readers_during_an_upload_see_the_old_file_whole(served):
    old, new = b"o" * 300_000, b"n" * 900_000
    upload(served, [("manifest", MANIFEST, manifest(["big"])), ("big", "big", old)])
    body, ctype = multipart([("manifest", MANIFEST, manifest(["big"])), ("big", "big", new)])
    half = len(body) // 2
    with socket.create_connection(("127.0.0.1", served.port), timeout=10) as uploader:
        uploader.sendall(f"POST /auth/K1/ HTTP/1.1\r\nHost: x\r\nContent-Type: {ctype}\r\n"
                         f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n".encode() + body[:half])
        # while one client is half-way through its upload, others are served
        for _ in range(3):
            assert request(served, "GET", FOLDER + "big")[:2] == (200, old)
        assert request(served, "GET", "/auth/K1/")[0] == 200
        uploader.sendall(body[half:])
        answer = b""
        while chunk := uploader.recv(65536):
            answer += chunk
    assert answer.startswith(b"HTTP/1.1 201")
    assert request(served, "GET", FOLDER + "big")[:2] == (200, new)
    assert [p.name for p in (served.root / "K1" / "media" / "update" / "Shop-1.0-Linux").iterdir()] == ["big"]


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_stops_on_signal(tmp_path, sig):
    srv = DevServer(tmp_path)
    request(srv, "GET", "/auth/K1/")
    assert srv.stop(sig) == 0
    assert srv.log[-1] == "tarvik-devserver: stopped"


def test_start_failures(tmp_path):
    with DevServer(tmp_path) as srv:
        taken = subprocess.run([devserver_path(), "--root", str(tmp_path), "--port", str(srv.port)],
                               capture_output=True, text=True, timeout=20)
    assert taken.returncode == 1
    assert taken.stderr == f"tarvik-devserver: cannot listen on 127.0.0.1:{srv.port}: Address already in use\n"
    bad = subprocess.run([devserver_path(), "--port", "80000"], capture_output=True, text=True, timeout=20)
    assert bad.returncode == 2 and bad.stderr.startswith("tarvik-devserver: --port must be a number")



def test_added_latency_and_rate_cap(tmp_path):
    """--delay-ms holds every answer back, HEAD and errors included; --rate-kib
    paces file bodies. Lower bounds only: a loaded machine is slower, never faster."""
    import time
    data = bytes(range(256)) * 1024  # 256 KiB
    with DevServer(tmp_path / "root", extra_args=["--delay-ms", "300", "--rate-kib", "512"]) as srv:
        upload(srv, [("manifest", MANIFEST, manifest(["big"])), ("big", "big", data)])
        for method, path, status in [("HEAD", FOLDER + "big", 200), ("GET", FOLDER + "missing", 404),
                                     ("GET", "/auth/K1/", 200)]:
            t = time.monotonic()
            assert request(srv, method, path)[0] == status
            assert time.monotonic() - t >= 0.3, (method, path)
        t = time.monotonic()
        status, body, _ = request(srv, "GET", FOLDER + "big")
        assert (status, body) == (200, data)
        assert time.monotonic() - t >= 0.3 + 0.45  # 256 KiB at 512 KiB/s after the delay
        assert request(srv, "GET", FOLDER + "big", headers={"Range": "bytes=0-1023"})[:2] == (206, data[:1024])
    for bad in (["--delay-ms", "-1"], ["--delay-ms", "60001"], ["--rate-kib", "x"]):
        r = subprocess.run([devserver_path(), "--root", str(tmp_path), *bad], capture_output=True, text=True,
                           timeout=20)
        assert r.returncode == 2 and r.stderr.startswith(f"tarvik-devserver: {bad[0]} must be a number"), bad
