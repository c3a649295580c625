"""Block-level entries against large installed files: the comparison hashes
only as many blocks as the entry lists (one more, to see that the file got
shorter), so memory stays small whatever the manifest says. The server listens
on 127.0.0.1:8000."""
import os
import subprocess
import textwrap

from update_fixtures import (APP, EXE_SCRIPT, PYTHON, make_install, manifest, private_tmp,
                             publish_version, sha, staging_dirs, tree, update_server)

EXE = EXE_SCRIPT.encode()


def run_check(install, www, private_tmp):
    """check_update in a child process; its output lines, the GETs of files and
    how much its peak memory grew (KiB)."""
    exe = str(install / "Shop")
    srv = update_server(www)
    try:
        done = subprocess.run(
            [PYTHON, "-c", textwrap.dedent(f"""
                import resource, sys
                from tarvik_cmd import auto_update as au
                sys.executable = {exe!r}
                start = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
                result = au.check_update({APP!r}, "1.0")
                grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - start
                print("RESULT", result, grown)
            """)],
            capture_output=True, text=True, timeout=120, env={**os.environ, "TMPDIR": str(private_tmp)})
        gets = [(r.path.rpartition("/")[2], r.headers.get("Range")) for r in srv.requests(method="GET")]
    finally:
        srv.close()
    out = done.stdout.splitlines()
    _, result, grown_kib = out[-1].split()
    assert result == "False", done.stderr
    return out[:-1], gets[1:], int(grown_kib)


def test_tiny_block_size_does_not_hash_the_whole_file_block_by_block(tmp_path, private_tmp):
    install = tmp_path / "install"
    www = tmp_path / "www"
    big = os.urandom(4 << 20)
    make_install(install, {"Shop": EXE, "big.bin": big})
    before = tree(install)
    doc = manifest("2.0", {"Shop": EXE})
    doc["files"]["big.bin"] = {"size": 3, "sha256": sha(b"abc"), "block_size": 1,
                               "blocks": [sha(b"a"), sha(big[1:2]), sha(b"c")]}
    publish_version(www, "2.0", {"Shop": EXE}, doc=doc)  # the version folder has no big.bin
    out, gets, grown_kib = run_check(install, www, private_tmp)
    assert "[Update] diff stats: to_download=1  to_delete(B\u2212A)=0  (remote.files=2  local.files=2)" in out
    # blocks 0 and 2 differ (block 3 is beyond the entry); block 1 is the same
    assert gets == [("big.bin", "bytes=0-0")] * 3
    assert out[-1] == "Download failed: big.bin - HTTP Error 404: Not Found"
    # one digest per byte of 4 MiB would take hundreds of MiB
    assert grown_kib < 64 * 1024
    assert staging_dirs(private_tmp) == [] and tree(install) == before


def test_large_file_that_got_shorter_is_compared_in_two_halves(tmp_path, private_tmp):
    install = tmp_path / "install"
    www = tmp_path / "www"
    mib = 1 << 20
    big = os.urandom(20 * mib)
    make_install(install, {"Shop": EXE, "big.bin": big})
    new = big[:mib] + os.urandom(mib) + big[2 * mib:3 * mib]
    doc = manifest("2.0", {"Shop": EXE, "big.bin": new}, {"big.bin": mib})
    publish_version(www, "2.0", {"Shop": EXE}, doc=doc)
    out, gets, _ = run_check(install, www, private_tmp)
    # only block 1 differs among the three the entry lists
    assert gets == [("big.bin", f"bytes={mib}-{2 * mib - 1}")] * 3
    assert out[-1] == "Download failed: big.bin - HTTP Error 404: Not Found"
