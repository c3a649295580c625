"""Whole-file and byte-range downloads, and interrupting a long transfer."""
import os
import signal
import subprocess
import sys
import textwrap
import time
import urllib.error

import pytest

from faultserver import FaultServer, Reply, free_port
from tarvik_cmd import auto_update as au

DATA = bytes(range(256)) * 4096  # 1 MiB, every offset recognisable

# The stall outlasts the bound on the child's exit, so only the interrupt can
# end the child in time; the bound is generous for a slow (sanitized, loaded)
# machine.
EXIT_BOUND = 120
STALL = 600


@pytest.fixture
def srv(tmp_path):
    www = tmp_path / "www"
    (www / "v1" / "lib").mkdir(parents=True)
    (www / "v1" / "lib" / "big.bin").write_bytes(DATA)
    s = FaultServer(root=www)
    yield s
    s.close()


class TestDownload:
    def test_writes_the_body_creating_parent_folders(self, srv, tmp_path):
        dest = tmp_path / "stage" / "lib" / "deep" / "big.bin"
        au._download(srv.url("/v1/lib/big.bin"), str(dest))
        assert dest.read_bytes() == DATA
        (req,) = srv.requests("/v1/lib/big.bin")
        assert req.headers["User-Agent"] == "Ostervane-Updater" and "Range" not in req.headers

    def test_replaces_existing_content(self, srv, tmp_path):
        dest = tmp_path / "f.bin"
        dest.write_bytes(b"x" * (len(DATA) + 100))
        au._download(srv.url("/v1/lib/big.bin"), dest)
        assert dest.read_bytes() == DATA

    def test_empty_body_gives_an_empty_file(self, srv, tmp_path):
        srv.script("/empty", Reply(200, b""))
        dest = tmp_path / "e"
        dest.write_bytes(b"old")
        au._download(srv.url("/empty"), dest)
        assert dest.read_bytes() == b""

    def test_http_error_leaves_dest_untouched(self, srv, tmp_path):
        dest = tmp_path / "keep.bin"
        dest.write_bytes(b"precious")
        with pytest.raises(urllib.error.HTTPError) as e:
            au._download(srv.url("/v1/missing.bin"), dest, 2)
        assert e.value.code == 404 and dest.read_bytes() == b"precious"
        a, b = srv.requests("/v1/missing.bin")
        assert b.when - a.when >= 1.0

    def test_retries_after_a_dropped_connection(self, srv, tmp_path):
        srv.script("/flaky", Reply(drop=True), Reply(200, b"second time lucky"))
        dest = tmp_path / "f"
        au._download(srv.url("/flaky"), dest)
        assert dest.read_bytes() == b"second time lucky"

    def test_truncated_body_fails_with_an_os_error(self, srv, tmp_path):
        srv.script("/cut", Reply(200, DATA, truncate_to=70000))
        with pytest.raises(ConnectionError):
            au._download(srv.url("/cut"), tmp_path / "f", 1)

    def test_refused_connection_is_a_url_error_and_writes_nothing(self, tmp_path):
        dest = tmp_path / "f"
        with pytest.raises(urllib.error.URLError):
            au._download(f"http://127.0.0.1:{free_port()}/f", dest, 1)
        assert not dest.exists()

    def test_zero_attempts_is_refused(self, srv, tmp_path):
        with pytest.raises(ValueError):
            au._download(srv.url("/v1/lib/big.bin"), tmp_path / "f", 0)


class TestDownloadRange:
    def test_206_is_written_at_the_offset(self, srv, tmp_path):
        dest = tmp_path / "patch.bin"
        dest.write_bytes(b"\0" * len(DATA))
        assert au._download_range(srv.url("/v1/lib/big.bin"), dest, 262144, 524287) is True
        got = dest.read_bytes()
        assert got[262144:524288] == DATA[262144:524288]
        assert got[:262144] == b"\0" * 262144 and got[524288:] == b"\0" * (len(DATA) - 524288)
        (req,) = srv.requests("/v1/lib/big.bin")
        assert req.headers["Range"] == "bytes=262144-524287"

    def test_ignored_range_replaces_the_file(self, tmp_path):
        www = tmp_path / "w"
        www.mkdir()
        (www / "f").write_bytes(DATA)
        s = FaultServer(root=www, honour_ranges=False)
        try:
            dest = tmp_path / "d"
            dest.write_bytes(b"\1" * (2 * len(DATA)))
            assert au._download_range(s.url("/f"), dest, 0, 99) is False
            assert dest.read_bytes() == DATA
        finally:
            s.close()

    def test_missing_dest_fails_after_the_retries(self, srv, tmp_path):
        with pytest.raises(FileNotFoundError):
            au._download_range(srv.url("/v1/lib/big.bin"), tmp_path / "nope", 0, 9, 1)

    def test_http_error_leaves_dest_untouched(self, srv, tmp_path):
        dest = tmp_path / "d"
        dest.write_bytes(b"abc")
        with pytest.raises(urllib.error.HTTPError) as e:
            au._download_range(srv.url("/v1/lib/big.bin"), dest, 10 ** 9, 10 ** 9 + 5, 1)
        assert e.value.code == 416 and dest.read_bytes() == b"abc"


def test_ctrl_c_interrupts_a_stalled_download(srv, tmp_path):
    srv.script("/stall", Reply(200, b"x" * 10, body_delay=STALL))
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(f"""
            import sys
            from tarvik_cmd import auto_update as au
            print("started", flush=True)
            try:
                au._download({srv.url('/stall')!r}, {str(tmp_path / 'f')!r}, 1)
            except KeyboardInterrupt:
                print("interrupted", flush=True)
                sys.exit(3)
        """)],
        stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "started"
    while not srv.requests("/stall"):
        time.sleep(0.05)
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=EXIT_BOUND)
    assert child.returncode == 3 and "interrupted" in out
