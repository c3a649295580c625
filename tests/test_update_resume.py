"""Resuming an interrupted update: what an attempt fetched and verified stays
staged in the installation (tied to the remote manifest) and the next attempt
fetches only the rest; stale staging and scripts of killed runs go. The server
listens on the built-in base URL, 127.0.0.1:8000."""
import hashlib
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from faultserver import Reply
from tarvik_cmd import auto_update as au
from update_fixtures import (APP, DISPLAY, EXE_SCRIPT, PYTHON, make_install, publish_version, staging_dirs,
                             tree, update_server, wait_for)

EXE = EXE_SCRIPT.encode()
MiB = 1048576
FOLDER = f"/auth/{APP}-2.0-{DISPLAY}"
BIG = random.Random(3).randbytes(6 * MiB + 777)
SMALL = {f"s{i}.txt": f"small {i}".encode() for i in range(5)}


@pytest.fixture
def site(tmp_path, monkeypatch):
    www = tmp_path / "www"
    www.mkdir()
    srv = update_server(www)
    install = tmp_path / "install"
    yield srv, www, install
    srv.close()


def start(monkeypatch, exe):
    monkeypatch.setattr(sys, "executable", exe)
    return au.check_update(APP, "1.0")


def bytes_of(srv, rel, since):
    return sum(e.body_bytes for e in srv.requests(f"{FOLDER}/{rel}", "GET")[since:])


def finish(install):
    wait_for(lambda: not (install / "update.sh").exists(), "the update script to finish")
    wait_for(lambda: not (install / ".tarvik_update").exists(), "the update folder to go")


def launcher(exe):
    """A launcher process calling check_update, to be killed mid-download."""
    return subprocess.Popen([PYTHON, "-c", textwrap.dedent(f"""
        import sys
        from tarvik_cmd import auto_update as au
        sys.executable = {exe!r}
        au.check_update({APP!r}, "1.0")
    """)], stdout=subprocess.DEVNULL)


class TestResume:
    def test_dropped_connection_then_the_next_start_fetches_only_the_rest(self, site, monkeypatch, capsys):
        srv, www, install = site
        exe = make_install(install, {"Shop": EXE})
        publish_version(www, "2.0", {"Shop": EXE, **SMALL, "big.bin": BIG}, {"big.bin": MiB})
        cut = 4 * MiB + 12345
        srv.script(f"{FOLDER}/big.bin", Reply(200, BIG, truncate_to=cut))
        assert start(monkeypatch, exe) is False
        assert any(l.startswith("Download failed: big.bin - ") for l in capsys.readouterr().out.splitlines())
        (staged,) = staging_dirs(install / ".tarvik_update")
        assert (staged / "big.bin").stat().st_size == cut

        srv.scripts.clear()
        before = {rel: len(srv.requests(f"{FOLDER}/{rel}", "GET")) for rel in [*SMALL, "big.bin"]}
        assert start(monkeypatch, exe) is True
        # verified files are not fetched again; the large one continues where it broke off
        assert all(len(srv.requests(f"{FOLDER}/{rel}", "GET")) == before[rel] for rel in SMALL)
        assert bytes_of(srv, "big.bin", before["big.bin"]) == len(BIG) - cut
        finish(install)
        assert (install / "big.bin").read_bytes() == BIG

    def test_launcher_killed_mid_body_then_a_healthy_start(self, site, monkeypatch, capsys):
        srv, www, install = site
        exe = make_install(install, {"Shop": EXE, **SMALL})
        publish_version(www, "2.0", {"Shop": EXE, **SMALL, "big.bin": BIG}, {"big.bin": MiB})
        n = 3 * MiB + 4321
        srv.script(f"{FOLDER}/big.bin", Reply(200, BIG, stall_at=n, stall_for=60))
        child = launcher(exe)
        try:
            wait_for(lambda: srv.body_bytes(f"{FOLDER}/big.bin") >= n, "the first bytes of the large file")
            time.sleep(0.5)  # the client writes what arrived
        finally:
            child.kill()
            child.wait()
        (staged,) = staging_dirs(install / ".tarvik_update")
        assert (install / ".tarvik_update" / "lock").exists()  # the killed launcher's, stale now

        srv.scripts.clear()
        before = len(srv.requests(f"{FOLDER}/big.bin", "GET"))
        assert start(monkeypatch, exe) is True
        # at most the remainder plus one block crosses the wire again
        assert bytes_of(srv, "big.bin", before) <= len(BIG) - n + MiB
        finish(install)
        assert (install / "big.bin").read_bytes() == BIG

    def test_block_patch_resumes_at_the_first_block_not_yet_verified(self, site, monkeypatch, capsys):
        srv, www, install = site
        old = random.Random(4).randbytes(6 * MiB)
        new = random.Random(5).randbytes(6 * MiB)  # every block changed
        exe = make_install(install, {"Shop": EXE, "big.bin": old}, blocks={"big.bin": MiB})
        publish_version(www, "2.0", {"Shop": EXE, "big.bin": new}, {"big.bin": MiB})
        block = [new[i * MiB:(i + 1) * MiB] for i in range(6)]
        srv.script(f"{FOLDER}/big.bin", Reply(206, block[0]), Reply(206, block[1]), Reply(206, block[2]),
                   Reply(206, block[3], stall_at=1000, stall_for=60))
        # the scripted answers go out in the order the requests come: one at a time
        monkeypatch.setenv("TARVIK_UPDATE_CONNECTIONS", "1")
        child = launcher(exe)
        try:
            wait_for(lambda: len(srv.requests(f"{FOLDER}/big.bin", "GET")) >= 4, "the fourth block's request")
            time.sleep(0.5)
        finally:
            child.kill()
            child.wait()

        srv.scripts.clear()
        monkeypatch.delenv("TARVIK_UPDATE_CONNECTIONS")
        before = len(srv.requests(f"{FOLDER}/big.bin", "GET"))
        assert start(monkeypatch, exe) is True
        ranges = [e.headers.get("Range") for e in srv.requests(f"{FOLDER}/big.bin", "GET")[before:]]
        # (the blocks after the first travel side by side: in any order)
        assert ranges[0] == f"bytes={3 * MiB}-{4 * MiB - 1}"
        assert sorted(ranges) == [f"bytes={i * MiB}-{(i + 1) * MiB - 1}" for i in (3, 4, 5)]
        finish(install)
        assert (install / "big.bin").read_bytes() == new


class TestHashMismatch:
    """A file that arrives whole but spoilt (a proxy, a broken connection) is
    fetched once more over a connection of its own before it fails the update."""

    def test_spoilt_once_is_fetched_again_over_a_fresh_connection(self, site, monkeypatch, capsys):
        srv, www, install = site
        exe = make_install(install, {"Shop": EXE, **SMALL})
        new = {rel: data + b" v2" for rel, data in SMALL.items()}
        publish_version(www, "2.0", {"Shop": EXE, **new})
        srv.script(f"{FOLDER}/s2.txt", Reply(200, b"spoilt v2"), Reply(200, new["s2.txt"]))
        monkeypatch.setenv("TARVIK_UPDATE_CONNECTIONS", "1")  # one kept-alive connection for all the others
        assert start(monkeypatch, exe) is True
        out = capsys.readouterr().out.splitlines()
        assert "[Update] hash mismatch for s2.txt, fetching it again" in out
        first, again = srv.requests(f"{FOLDER}/s2.txt", "GET")
        others = {e.client_port for rel in SMALL if rel != "s2.txt" for e in srv.requests(f"{FOLDER}/{rel}", "GET")}
        assert first.client_port in others and again.client_port not in others
        finish(install)
        assert {rel: (install / rel).read_bytes() for rel in SMALL} == new

    def test_spoilt_twice_fails_the_download(self, site, monkeypatch, capsys):
        srv, www, install = site
        exe = make_install(install, {"Shop": EXE, **SMALL})
        before = tree(install)
        publish_version(www, "2.0", {"Shop": EXE, **{rel: data + b" v2" for rel, data in SMALL.items()}})
        srv.script(f"{FOLDER}/s2.txt", Reply(200, b"spoilt v2"))
        assert start(monkeypatch, exe) is False
        out = capsys.readouterr().out.splitlines()
        assert [l for l in out if l.startswith("Download failed")] == [
            "Download failed: s2.txt - downloaded file does not match the manifest (sha256 "
            f"{hashlib.sha256(b'spoilt v2').hexdigest()}, expected {hashlib.sha256(SMALL['s2.txt'] + b' v2').hexdigest()})"]
        assert len(srv.requests(f"{FOLDER}/s2.txt", "GET")) == 2
        assert {k: v for k, v in tree(install).items() if not k.startswith(".tarvik_update/")} == before


class TestStaleLeftovers:
    def test_staging_lock_and_script_of_killed_runs_go_at_the_next_start(self, site, monkeypatch, capsys):
        srv, www, install = site
        exe = make_install(install, {"Shop": EXE, "a.txt": b"1"})
        publish_version(www, "1.0", {"Shop": EXE, "a.txt": b"1"})
        dead = subprocess.Popen(["true"])
        dead.wait()
        update_dir = install / ".tarvik_update"
        for i in range(3):
            (update_dir / f"tarvik_update_{i:016x}" / "sub").mkdir(parents=True)
            (update_dir / f"tarvik_update_{i:016x}" / "sub" / "f.bin").write_bytes(b"x" * 1000)
        (update_dir / "lock").write_text(f"{dead.pid} 0\n")
        (install / "update.sh").write_text("#!/bin/bash\nexit 0\n")
        assert start(monkeypatch, exe) is False
        assert capsys.readouterr().out.splitlines()[-1].startswith("[Update] Version matches")
        assert not update_dir.exists() and not (install / "update.sh").exists()
        assert tree(install, skip={"started.txt"}).keys() == {"Shop", "a.txt", *[
            k for k in tree(install) if k.startswith("manifest--")]}
