"""check_update fetching over a pool of connections: several connections at
once, the same result as one connection, the first failed file failing the
update as before, a server that allows only one connection, and Ctrl-C in the
middle of parallel transfers. The servers listen on the built-in base URL,
127.0.0.1:8000."""
import functools
import os
import signal
import subprocess
import sys
import textwrap
import threading
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer

import pytest

from faultserver import Reply
from tarvik_cmd import auto_update as au
from update_fixtures import (APP, DISPLAY, EXE_SCRIPT, MANIFEST, PYTHON, Widgets, make_install, port_8000_free,
                             private_tmp, publish_version, staging_dirs, tree, update_server, wait_for)

EXE = EXE_SCRIPT.encode()
FOLDER = f"/auth/{APP}-2.0-{DISPLAY}"
FILES = {f"lib/m{i:02d}.bin": bytes([i]) * (3000 + 97 * i) for i in range(24)}


class _QuietFiles(SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keeps connections alive

    def log_message(self, *args):
        pass


class CountingServer(ThreadingHTTPServer):
    """Serves a folder and counts the connections it accepts; with a limit,
    a connection beyond it is closed at once, before anything is read."""
    daemon_threads = True

    def __init__(self, root, limit=None):
        if not port_8000_free():
            pytest.fail("127.0.0.1:8000 is taken: stop whatever listens there and run again")
        super().__init__(("127.0.0.1", 8000), functools.partial(_QuietFiles, directory=str(root)))
        self.limit, self.open, self.accepted, self.refused = limit, 0, 0, 0
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True)
        self.thread.start()

    def verify_request(self, request, client_address):
        with self.lock:
            if self.limit is not None and self.open >= self.limit:
                self.refused += 1
                return False
            self.open += 1
            self.accepted += 1
            return True

    def process_request_thread(self, request, client_address):
        try:
            super().process_request_thread(request, client_address)
        finally:
            with self.lock:
                self.open -= 1

    def close(self):
        self.shutdown()
        self.server_close()


@pytest.fixture
def app(tmp_path, monkeypatch, private_tmp):
    install = tmp_path / "install"
    exe = make_install(install, {"Shop": EXE, **{k: b"old" for k in FILES}})
    monkeypatch.setattr(sys, "executable", exe)
    publish_version(tmp_path / "www", "2.0", {"Shop": EXE, **FILES})
    return install


def installed(install):
    """Waits for the update script, then checks that the new files are in place."""
    wait_for(lambda: not (install / "update.sh").exists(), "the update script to finish")
    files = tree(install)
    assert {k: files.get(k) for k in FILES} == FILES


def update(capsys, widgets=None):
    w = widgets or Widgets()
    result = au.check_update(APP, "1.0", w.label, w.bar)
    return result, capsys.readouterr().out.splitlines(), w


@pytest.mark.parametrize("connections", [None, "1"])
def test_pool_and_one_connection_stage_the_same_files(app, tmp_path, private_tmp, capsys, monkeypatch,
                                                      connections):
    if connections:
        monkeypatch.setenv("TARVIK_UPDATE_CONNECTIONS", connections)
    srv = CountingServer(tmp_path / "www")
    try:
        result, out, w = update(capsys)
    finally:
        srv.close()
    assert result is True
    installed(app)
    # besides the reachability check's: the manifest's connection, which the files reuse,
    # and with the pool five more, each kept alive for many files
    assert srv.accepted - 1 == (1 if connections else 6)
    downloading = [t for t in w.texts() if t.startswith("Downloading ")]
    assert sorted(t.split("  ")[0] for t in downloading) == sorted(f"Downloading {p[4:]}" for p in FILES)
    total = sum(len(b) for b in FILES.values()) / 1048576
    assert downloading[-1].endswith(f"{total:.1f}MB / {total:.1f}MB (100%)")
    values = w.values()
    assert values == sorted(values[:-1]) + [100] and values[-1] == 100  # the bar only moves forward


def test_a_file_that_fails_fails_the_update_and_stops_the_others(app, tmp_path, private_tmp, capsys):
    (tmp_path / "www" / FOLDER.lstrip("/") / "lib/m05.bin").unlink()
    before = tree(app)
    srv = update_server(tmp_path / "www")
    try:
        result, out, w = update(capsys)
    finally:
        srv.close()
    assert result is False
    assert [l for l in out if l.startswith("Download failed")] == [
        "Download failed: lib/m05.bin - HTTP Error 404: Not Found"]
    assert len(srv.requests(f"{FOLDER}/lib/m05.bin", "GET")) == 3  # its attempts, as alone
    assert w.texts()[-1] == "Update download failed, skipping" and w.values()[-1] == 0
    assert staging_dirs(private_tmp) == []
    staged = {rel: data for rel, data in tree(app).items() if rel.startswith(".tarvik_update/")}
    assert {rel: data for rel, data in tree(app).items() if rel not in staged} == before
    # what stays for the next attempt is the start of the new files, nothing else
    (stage,) = staging_dirs(app / ".tarvik_update")
    kept = {rel.split("/", 2)[2]: data for rel, data in staged.items() if rel.startswith(f".tarvik_update/{stage.name}/")}
    assert kept and "lib/m05.bin" not in kept
    for rel, data in kept.items():
        assert FILES[rel].startswith(data), rel


def test_server_that_allows_one_connection_still_completes_the_update(app, tmp_path, private_tmp, capsys):
    srv = CountingServer(tmp_path / "www", limit=1)
    try:
        result, out, w = update(capsys)
    finally:
        srv.close()
    assert result is True, out
    assert srv.refused > 0  # the pool did try more connections
    assert not [l for l in out if l.startswith("Download failed")]
    installed(app)


def test_ctrl_c_during_parallel_transfers_reaches_the_caller(tmp_path, private_tmp):
    """Every file stalls for a minute after its headers: only the interrupt
    can end the call before communicate() gives up after 20 s."""
    install = tmp_path / "install"
    stalled = {f"s{i}.bin": b"new" for i in range(8)}
    exe = make_install(install, {"Shop": EXE, **{k: b"old" for k in stalled}})
    before = tree(install)
    publish_version(tmp_path / "www", "2.0", {"Shop": EXE, **stalled})
    srv = update_server(tmp_path / "www")
    try:
        for name in stalled:
            srv.script(f"{FOLDER}/{name}", Reply(200, b"new", body_delay=60))
        child = subprocess.Popen(
            [PYTHON, "-c", textwrap.dedent(f"""
                import sys
                from tarvik_cmd import auto_update as au
                sys.executable = {exe!r}
                try:
                    au.check_update({APP!r}, "1.0")
                except KeyboardInterrupt:
                    print("interrupted", flush=True)
                    sys.exit(3)
                print("returned", flush=True)
            """)],
            stdout=subprocess.PIPE, text=True, env={**os.environ, "TMPDIR": str(private_tmp)})
        # several files are on their way at once
        wait_for(lambda: len([r for r in srv.requests(method="GET") if r.path.startswith(FOLDER)]) >= 4,
                 "parallel requests")
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=20)
    finally:
        srv.close()
    assert child.returncode == 3 and out.splitlines()[-1] == "interrupted"
    assert staging_dirs(private_tmp) == []
    assert tree(install) == before


def test_blocks_of_a_file_arrive_at_once_and_a_failed_attempt_waits_alone(tmp_path, private_tmp, capsys,
                                                                          monkeypatch):
    """Changed blocks after the first go out together, each written at its
    offset; a file answered 503 once is fetched again while the rest go on."""
    bs = 65536
    old = bytes(range(256)) * (8 * bs // 256)
    new = bytearray(old)
    for block in (1, 3, 4, 6):
        new[block * bs:(block + 1) * bs] = bytes([block]) * bs
    new = bytes(new)
    install = tmp_path / "install"
    monkeypatch.setattr(sys, "executable", make_install(install, {"Shop": EXE, "big.bin": old, **{
        k: b"old" for k in FILES}}, blocks={"big.bin": bs}))
    publish_version(tmp_path / "www", "2.0", {"Shop": EXE, "big.bin": new, **FILES}, {"big.bin": bs})
    srv = update_server(tmp_path / "www")
    try:
        srv.script(f"{FOLDER}/lib/m03.bin", Reply(503, b"busy"), Reply(200, FILES["lib/m03.bin"]))
        result, out, w = update(capsys)
    finally:
        srv.close()
    assert result is True, out
    ranges = [r.headers.get("Range") for r in srv.requests(f"{FOLDER}/big.bin", "GET")]
    assert ranges[0] == f"bytes={bs}-{2 * bs - 1}"  # alone: the server might ignore ranges
    assert sorted(ranges[1:]) == sorted(f"bytes={b * bs}-{(b + 1) * bs - 1}" for b in (3, 4, 6))
    assert len(srv.requests(f"{FOLDER}/lib/m03.bin", "GET")) == 2
    assert not [l for l in out if "mismatch" in l or l.startswith("Download failed")]
    installed(install)
    assert (install / "big.bin").read_bytes() == new


def test_one_connection_fetches_in_list_order_blocks_included(tmp_path, private_tmp, capsys, monkeypatch):
    monkeypatch.setenv("TARVIK_UPDATE_CONNECTIONS", "1")
    bs = 65536
    old = bytes(range(256)) * (4 * bs // 256)
    new = old[:bs] + b"\x01" * bs + old[2 * bs:3 * bs] + b"\x03" * bs
    install = tmp_path / "install"
    monkeypatch.setattr(sys, "executable", make_install(
        install, {"Shop": EXE, "a.txt": b"1", "m.bin": old, "z.txt": b"1"}, blocks={"m.bin": bs}))
    publish_version(tmp_path / "www", "2.0", {"Shop": EXE, "a.txt": b"2", "m.bin": new, "z.txt": b"2"},
                    {"m.bin": bs})
    srv = update_server(tmp_path / "www")
    try:
        result, out, w = update(capsys)
    finally:
        srv.close()
    assert result is True, out
    assert [(r.path.removeprefix(FOLDER + "/"), r.headers.get("Range")) for r in srv.requests(method="GET")
            if r.path.startswith(FOLDER)] == [
        ("a.txt", None), ("m.bin", f"bytes={bs}-{2 * bs - 1}"), ("m.bin", f"bytes={3 * bs}-{4 * bs - 1}"),
        ("z.txt", None)]
    wait_for(lambda: not (install / "update.sh").exists(), "the update script to finish")
    assert (install / "m.bin").read_bytes() == new and (install / "z.txt").read_bytes() == b"2"
