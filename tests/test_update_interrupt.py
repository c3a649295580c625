"""Ctrl-C while check_update stages an update: the interrupt reaches the
launcher, the staging folder goes and the installation is untouched. The
server listens on the built-in base URL, 127.0.0.1:8000."""
import os
import signal
import subprocess
import textwrap
import time

import pytest

from faultserver import Reply
from update_fixtures import (APP, DISPLAY, EXE_SCRIPT, MANIFEST, PYTHON, make_install, private_tmp,
                             publish_version, staging_dirs, tree, update_server, wait_for)

EXE = EXE_SCRIPT.encode()

# The stall outlasts the bound on the child's exit, so only the interrupt can
# end the child in time; the bound is generous for a slow (sanitized, loaded)
# machine.
EXIT_BOUND = 120
STALL = 600


@pytest.mark.parametrize("stall", [
    Reply(200, b"x" * 10, body_delay=STALL),  # waiting for the body of a file
    Reply(503, b"busy"),  # waiting between the attempts of a file
])
def test_ctrl_c_while_staging_leaves_nothing_behind(tmp_path, private_tmp, stall):
    www = tmp_path / "www"
    install = tmp_path / "install"
    exe = make_install(install, {"Shop": EXE, "a.txt": b"1", "b.bin": b"1"})
    before = tree(install)
    publish_version(www, "2.0", {"Shop": EXE, "a.txt": b"2", "b.bin": b"2"})
    srv = update_server(www)
    try:
        srv.script(f"/auth/{APP}-2.0-{DISPLAY}/b.bin", stall)
        child = subprocess.Popen(
            [PYTHON, "-c", textwrap.dedent(f"""
                import sys
                from tarvik_cmd import auto_update as au
                sys.executable = {exe!r}
                print("started", flush=True)
                try:
                    au.check_update({APP!r}, "1.0")
                except KeyboardInterrupt:
                    print("interrupted", flush=True)
                    sys.exit(3)
                print("returned", flush=True)
            """)],
            stdout=subprocess.PIPE, text=True, env={**os.environ, "TMPDIR": str(private_tmp)})
        assert child.stdout.readline().strip() == "started"
        while not srv.requests(f"/auth/{APP}-2.0-{DISPLAY}/b.bin", "GET"):
            assert child.poll() is None
            time.sleep(0.05)
        assert staging_dirs(private_tmp) == []  # staged inside the installation
        (staged,) = staging_dirs(install / ".tarvik_update")
        # a.txt travels beside b.bin on another connection of the pool
        wait_for(lambda: (staged / "a.txt").is_file() and (staged / "a.txt").read_bytes() == b"2", "a.txt staged")
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=EXIT_BOUND)
    finally:
        srv.close()
    assert child.returncode == 3 and out.splitlines()[-1] == "interrupted"
    assert staging_dirs(private_tmp) == [] and not (install / ".tarvik_update").exists()
    assert tree(install) == before and MANIFEST in before
