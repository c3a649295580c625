"""publish(os_label, code): every failure row, the version check, batches of
100 and what reaches the server. The base URL is fixed, so the servers here
listen on 127.0.0.1:8000: the development server as a real process, or a
scripted stand-in for the misbehaving answers."""
import json
import os
import subprocess
import sys
import urllib.request

import pytest

from publish_fixtures import BASE, Answer, DevServer, StandIn, StandInServer, make_build
from tarvik_cmd.publish import publish

URL = BASE + "/auth/K1/"


@pytest.fixture
def ws(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def lines(capsys):
    return capsys.readouterr().out.splitlines()


def head_lines(dist):
    return ["[publisher] local manifest: app_name=Shop, version=1.0, os=linux, arch=x64",
            f"[publisher] output folder: {dist}"]


# --- failures found before any request

@pytest.mark.parametrize("setup, os_label, expected", [
    (lambda ws: None, "linux", "[publisher] build/ directory not found, nothing to publish"),
    (lambda ws: make_build(ws, {"a": b"1"}, os_label="macos", display="macOS"), "linux",
     "[publisher] manifest-linux-{arch}.json not found in build/"),
    (lambda ws: make_build(ws, {"a": b"1"}, os_label="windows", display="Windows"), "Windows",
     "[publisher] manifest-Windows-{arch}.json not found in build/"),
    (lambda ws: make_build(ws, {}, manifest={"app_name": "Shop", "version": "", "os": "linux"}), "linux",
     "[publisher] manifest missing required fields (app_name/version)"),
    (lambda ws: make_build(ws, {}, manifest={"app_name": "Shop", "version": 0}), "linux",
     "[publisher] manifest missing required fields (app_name/version)"),
    (lambda ws: make_build(ws, {}, manifest={"version": "1.0", "os": "linux"}), "linux",
     "[publisher] manifest missing required fields (app_name/version)"),
    (lambda ws: make_build(ws, {}, manifest=[1, 2]), "linux",
     "[publisher] failed to parse manifest: expected a JSON object, got list"),
])
def test_failures_found_locally(ws, capsys, setup, os_label, expected):
    setup(ws)
    assert publish(os_label, "") is False
    assert lines(capsys) == [expected]


@pytest.mark.parametrize("manifest_bytes", [b"{not json", b'{"app_name": "Sh\xffp"}', b""])
def test_unreadable_manifest(ws, capsys, manifest_bytes):
    make_build(ws, {}, manifest=manifest_bytes)
    assert publish("linux", "") is False
    (line,) = lines(capsys)
    assert line.startswith("[publisher] failed to parse manifest: ") and len(line) > 40


def test_output_folder_and_build_json_rows(ws, capsys):
    dist = make_build(ws, {"a": b"1"})
    os.rename(dist, ws / "build" / "elsewhere")
    assert publish("linux", "") is False
    assert lines(capsys)[-1] == "[publisher] output folder not found for app_name=Shop, version=1.0, os=linux"

    os.rename(ws / "build" / "elsewhere", dist)
    (dist / "build.json").unlink()
    assert publish("linux", "") is False
    assert lines(capsys) == head_lines(dist) + ["[publisher] build.json not found in output folder"]

    for text, expected in [
        ("{oops", "[publisher] failed to parse build.json: "),
        ("{}", "[publisher] COMMUNITY_KEY not found in build.json"),
        ('{"COMMUNITY_KEY": ""}', "[publisher] COMMUNITY_KEY not found in build.json"),
        ('{"COMMUNITY_KEY": null}', "[publisher] COMMUNITY_KEY not found in build.json"),
    ]:
        (dist / "build.json").write_text(text)
        assert publish("linux", "") is False
        assert lines(capsys)[-1].startswith(expected)


def test_first_manifest_in_listing_order_wins(ws, capsys):
    # (every test finds the folder named with the display label Linux by the prefix rule)
    make_build(ws, {"a": b"1"}, manifest={"app_name": "Shop", "version": "1.0", "files": {}})
    (ws / "build" / "manifest--Shop-linux-arm64.json").write_text('{"app_name": "Other", "version": "9"}')
    first = next(n for n in os.listdir(ws / "build") if n.startswith("manifest--"))
    app = json.loads((ws / "build" / first).read_text())["app_name"]
    with StandInServer(StandIn(get=[Answer(500, b"x")])):
        assert publish("linux", "") is False
    assert lines(capsys)[0] == f"[publisher] local manifest: app_name={app}, version={'1.0' if app == 'Shop' else '9'}," \
                               " os=None, arch=None"


# --- the version check

def test_version_check_failures(ws, capsys):
    dist = make_build(ws, {"a": b"1"})
    body = ("é" * 300 + "z" * 300).encode()
    expected_start = "é" * 300 + "z" * 200
    rows = [
        (Answer(500, body), f"[publisher] server check failed, HTTP 500: {expected_start}"),
        (Answer(200, b"<html>" + body), "[publisher] server returned non-JSON response: <html>" + expected_start[:494]),
        (Answer(200, b"[1, 2]"), "[publisher] server returned an unexpected response: [1, 2]"),
        (Answer(drop=True), "[publisher] server check error: "),
    ]
    for answer, expected in rows:
        state = StandIn(get=[answer])
        with StandInServer(state):
            assert publish("linux", "") is False
        out = lines(capsys)
        assert out[:3] == head_lines(dist) + [f"[publisher] checking server version: GET {URL}"]
        assert len(out) == 4 and out[3].startswith(expected), out[3]
        assert state.gets == ["/auth/K1/"] and state.posts == []
    assert publish("linux", "") is False  # nothing listens
    out = lines(capsys)
    assert out[3].startswith("[publisher] server check error: ") and "refused" in out[3]


def test_same_version_is_skipped_and_any_other_is_uploaded(ws, capsys):
    make_build(ws, {"a": b"1"})
    state = StandIn(get=[Answer(200, b'{"app_name": "Shop", "version": "1.0"}')])
    with StandInServer(state):
        assert publish("linux", "") is True
    assert lines(capsys)[-2:] == ["[publisher] server: app_name=Shop, version=1.0",
                                  "[publisher] server already has this version, skipping upload"]
    assert state.posts == []

    for held, shown in [(b'{"app_name": "Shop", "version": "2.0"}', "app_name=Shop, version=2.0"),
                        (b'{"version": "1.0"}', "app_name=None, version=1.0")]:
        state = StandIn(get=[Answer(200, held)])
        with StandInServer(state):
            assert publish("linux", "") is True
        out = lines(capsys)
        assert f"[publisher] server: {shown}" in out and out[-1] == "[publisher] upload success"
        assert len(state.posts) == 1


# --- batches

def walk_order(dist):
    expected = []
    for top, dirs, files in os.walk(dist):
        dirs[:] = [d for d in dirs if d != "media"]
        expected += [os.path.relpath(os.path.join(top, f), dist).replace(os.sep, "/") for f in files]
    return expected


def test_batches_of_100_in_walk_order(ws, capsys):
    files = {f"f{i:03d}.txt": b"%d" % i for i in range(124)}
    files.update({f"lib/sub/g{i:03d}": b"g" for i in range(120)})
    files.update({"x/media/hidden.bin": b"no", "x/y/media/deep.bin": b"no", "x/media_not": b"yes",
                  "y/media": b"a file named media", ".hidden": b"h"})
    dist = make_build(ws, files)
    os.symlink(dist / "lib", dist / "linked_dir")
    manifest = "manifest--Shop-linux-x64.json"
    expected = [("manifest", manifest)] + [(rel, rel) for rel in walk_order(dist)]
    assert len(expected) == 250 and "linked_dir" not in str(expected)

    state = StandIn()
    with StandInServer(state):
        assert publish("linux", "") is True
    out = lines(capsys)
    assert out[3:] == ["[publisher] server returned 404, treating as no existing version, will upload",
                       f"[publisher] update URL: {URL}", "[publisher] uploading 250 files...",
                       "[publisher] batch 1/3 ok (100 files)", "[publisher] batch 2/3 ok (100 files)",
                       "[publisher] batch 3/3 ok (50 files)", "[publisher] upload success"]
    assert [len(p) for p in state.posts] == [100, 100, 50]
    sent = [part for post in state.posts for part in post]
    assert [(name, filename) for name, filename, _, _ in sent] == expected
    assert {ctype for _, _, ctype, _ in sent} == {"application/octet-stream"}
    assert sent[0][3] == (ws / "build" / manifest).read_bytes()
    assert all(data == (dist / name).read_bytes() for name, _, _, data in sent[1:])


def test_code_field_leads_every_batch_only_when_given(ws, capsys):
    make_build(ws, {f"f{i}": b"x" for i in range(150)})
    for code, first_parts in [("", []), ("s3cr=t é", [("code", None, None, "s3cr=t é".encode())])]:
        state = StandIn()
        with StandInServer(state):
            assert publish("linux", code) is True
        assert len(state.posts) == 2
        for post in state.posts:
            assert post[:len(first_parts)] == first_parts
            assert all(filename for _, filename, _, _ in post[len(first_parts):])
    capsys.readouterr()


def test_refused_batch_stops_the_rest(ws, capsys):
    make_build(ws, {f"f{i:03d}": b"x" for i in range(247)})  # + manifest, its copy, build.json
    state = StandIn(post=[Answer(201), Answer(413, b"too large " * 100), Answer(201)])
    with StandInServer(state):
        assert publish("linux", "") is False
    assert lines(capsys)[-3:] == ["[publisher] uploading 250 files...", "[publisher] batch 1/3 ok (100 files)",
                                  "[publisher] batch 2/3 failed, HTTP 413: " + "too large " * 50]
    assert len(state.posts) == 2


@pytest.mark.parametrize("status", [301, 302, 303, 307])
def test_redirected_upload_is_a_refused_batch(ws, capsys, status):
    # Followed, a redirect turns the upload into a GET whose answer says
    # nothing about the files: it must not count as accepted.
    make_build(ws, {"a": b"1"})
    state = StandIn(get=[Answer(404, b"none"), Answer(200, b"{}")],
                    post=[Answer(status, b"moved", headers={"Location": "/auth/K1/elsewhere"})])
    with StandInServer(state):
        assert publish("linux", "") is False
    assert lines(capsys)[-1] == f"[publisher] batch 1/1 failed, HTTP {status}: moved"
    assert len(state.posts) == 1


def test_dropped_connection_is_an_upload_error(ws, capsys):
    make_build(ws, {"a": b"1"})
    state = StandIn(post=[Answer(drop=True)])
    with StandInServer(state):
        assert publish("linux", "") is False
    last = lines(capsys)[-1]
    assert last.startswith("[publisher] batch 1/1 upload error: ") and len(last) > 40


def test_upload_closed_without_answer_is_never_sent_again(ws, capsys):
    # The version check's GET leaves a kept-alive connection; the server then
    # takes the upload and closes without a reply. Sent again on a new
    # connection, the batch would be answered by the 201 that follows and
    # counted as a success although the server may have stored it already.
    make_build(ws, {"a": b"1"})
    state = StandIn(get=[Answer(404, b"none")], post=[Answer(drop=True), Answer(201, b"{}")])
    with StandInServer(state):
        assert publish("linux", "") is False
    out = lines(capsys)
    assert out[-1].startswith("[publisher] batch 1/1 upload error: ")
    assert not any("upload success" in line for line in out)
    assert len(state.posts) == 1 and state.gets == ["/auth/K1/"]


def test_odd_file_names_are_escaped_in_their_part_head(ws, capsys):
    # A line break in a file name must not start a header line of its part.
    name = 'we"ird\r\nX-Injected: 1'
    make_build(ws, {name: b"odd"})
    state = StandIn()
    with StandInServer(state):
        assert publish("linux", "") is True
    (parts,) = state.posts
    escaped = "we%22ird%0D%0AX-Injected: 1"
    assert (escaped, escaped, "application/octet-stream", b"odd") in parts


def test_file_gone_before_its_batch_is_a_read_error(ws, capsys):
    dist = make_build(ws, {f"f{i:03d}": b"x" for i in range(247)})
    victim = dist / walk_order(dist)[150]
    state = StandIn(on_post=lambda n: victim.unlink() if n == 1 else None)
    with StandInServer(state):
        assert publish("linux", "") is False
    assert lines(capsys)[-2:] == [
        "[publisher] batch 1/3 ok (100 files)",
        f"[publisher] batch 2/3 file read error: [Errno 2] No such file or directory: '{victim}'"]
    assert len(state.posts) == 1
    # every handle of the failed batch was closed
    assert not [target for target in open_files() if target.startswith(str(dist))]


def test_a_fifo_is_a_read_error_not_a_hang(ws, capsys):
    dist = make_build(ws, {"a": b"1"})
    os.mkfifo(dist / "pipe")
    state = StandIn()
    with StandInServer(state):
        assert publish("linux", "") is False
    assert lines(capsys)[-1] == f"[publisher] batch 1/1 file read error: [Errno 22] Not a regular file: '{dist / 'pipe'}'"
    assert state.posts == []


def open_files():
    fds = f"/proc/{os.getpid()}/fd"
    for fd in os.listdir(fds):
        try:
            yield os.readlink(f"{fds}/{fd}")
        except OSError:
            pass


# --- against the development server

def fetch(url):
    with urllib.request.urlopen(url, timeout=10) as r:
        return r.read()


def test_round_trip_through_the_development_server(ws, capsys, tmp_path):
    tricky = b"\r\n--boundary\r\n" + os.urandom(200_000) + b"\r\n--\r\n\r\n"
    files = {"bin/app": tricky, "lib/ä ö.txt": "é".encode(), "empty": b"", "media/x": b"skipped"}
    dist = make_build(ws, files, manifest={"app_name": "Shop", "version": "1.0", "os": "linux",
                                           "arch": "x64", "files": {"bin/app": "h", "lib/ä ö.txt": "h"}})
    root = tmp_path / "served"
    with DevServer(root, port=8000) as srv:
        assert publish("linux", "") is True
        assert publish("linux", "") is True
        out = lines(capsys)
        assert out[-2:] == ["[publisher] server: app_name=Shop, version=1.0",
                            "[publisher] server already has this version, skipping upload"]
        assert len(srv.requests("POST", count=1)) == 1
        served = BASE + "/K1/media/update/Shop-1.0-Linux/"
        assert fetch(served + "bin/app") == tricky
        assert fetch(served + "lib/%C3%A4%20%C3%B6.txt") == "é".encode()
        assert fetch(served + "empty") == b""
        assert fetch(BASE + "/K1/media/update/manifest--Shop-linux-x64.json") == \
            (ws / "build" / "manifest--Shop-linux-x64.json").read_bytes()
        with pytest.raises(urllib.error.HTTPError):
            fetch(served + "media/x")


def test_the_update_client_reads_what_was_published(ws, capsys, tmp_path):
    from tarvik_cmd import auto_update as au

    big = os.urandom(3 * 65536 + 5)
    make_build(ws, {"big.bin": big, "a.txt": b"a"})
    with DevServer(tmp_path / "served", port=8000) as srv:
        assert publish("linux", "") is True
        root = BASE + "/K1/media/update/"
        doc = au._fetch_manifest(root + "manifest--Shop-linux-x64.json")
        assert doc == json.loads((ws / "build" / "manifest--Shop-linux-x64.json").read_text())
        folder = root + "Shop-1.0-Linux/"
        assert au._url_head_ok(folder + next(iter(doc["files"]))) == (True, "HTTP 200")
        assert au._url_head_ok(folder + "nothing") == (False, "HTTP 404")
        dest = tmp_path / "big.bin"
        dest.write_bytes(bytes(len(big)))
        assert au._download_range(folder + "big.bin", str(dest), 65536, 131071) is True
        assert dest.read_bytes() == bytes(65536) + big[65536:131072] + bytes(len(big) - 131072)
        assert f"GET /K1/media/update/Shop-1.0-Linux/big.bin 206 range=bytes=65536-131071 bytes=65536" in \
            srv.requests("GET", count=3)


def test_code_and_a_broken_off_upload_with_the_development_server(ws, capsys, tmp_path):
    files = {f"f{i:03d}": b"x" for i in range(150)}
    listed = {"app_name": "Shop", "version": "1.0", "os": "linux", "files": dict.fromkeys(files, "h")}
    files["sub/z\\refused"] = b"the server refuses backslashes"
    make_build(ws, files, manifest=listed)
    with DevServer(tmp_path / "served", port=8000, code="s3") as srv:
        assert publish("linux", "wrong") is False
        assert lines(capsys)[-1] == "[publisher] batch 1/2 failed, HTTP 403: refused: wrong upload code"
        assert not list((tmp_path / "served").rglob("f*"))
        # batch 2 is refused; the manifest arrived with batch 1 but is not
        # served, so the next run uploads again instead of skipping
        for _ in range(2):
            assert publish("linux", "s3") is False
            out = lines(capsys)
            assert "[publisher] server returned 404, treating as no existing version, will upload" in out
            assert out[-1].startswith("[publisher] batch 2/2 failed, HTTP 400: refused: unsafe path")
        assert [l.split()[2] for l in srv.requests("POST", count=5)] == ["403", "201", "400", "201", "400"]


def test_command_line_entry(ws, tmp_path):
    make_build(ws, {"a": b"1"})
    run = lambda *args: subprocess.run([sys.executable, "-m", "tarvik_cmd.publish", *args],
                                       capture_output=True, text=True, cwd=ws, timeout=60)
    done = run("linux")
    assert (done.returncode, done.stdout) == (1, "Usage: python publish.py <os> <code>\n")
    done = run("Windows", "c")
    assert (done.returncode, done.stdout) == (1, "[publisher] manifest-Windows-{arch}.json not found in build/\n")
    with DevServer(tmp_path / "served", port=8000):
        done = run("linux", "", "ignored")
    assert done.returncode == 0 and done.stdout.endswith("[publisher] upload success\n"), done.stdout + done.stderr
