"""copy_files: the recursive template copy, on real trees with links."""
import errno
import os
import stat
from pathlib import Path

import pytest

from tarvik_cmd.copyfile import copy_files

OLD_NS = 1_500_000_000_123_456_789  # a fixed modification time in the past


def make_tree(root, files):
    for rel, content in files.items():
        p = root / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(content)


def listing(root):
    return sorted(str(p.relative_to(root)) for p in Path(root).rglob("*"))


def test_skips_editor_directories_at_any_depth_but_not_files_of_those_names(tmp_path):
    src = tmp_path / "src"
    make_tree(src, {
        ".vscode/settings.json": b"{}",
        "a/b/.quasar/cache": b"x",
        "a/b/keep.txt": b"keep",
        "a/.vscode": b"a file named like the skipped directory",
        ".quasar": b"top-level file",
        ".hidden": b"h",
        "odd name ü -x\n.txt": b"odd",
    })
    (src / "empty_dir").mkdir()
    copy_files(str(src), str(tmp_path / "dst"))
    assert listing(tmp_path / "dst") == sorted(
        [".hidden", ".quasar", "a", "a/.vscode", "a/b", "a/b/keep.txt", "empty_dir", "odd name ü -x\n.txt"])
    assert (tmp_path / "dst/a/.vscode").read_bytes() == b"a file named like the skipped directory"


def test_existing_destination_files_are_overwritten_and_others_stay(tmp_path):
    make_tree(tmp_path / "src", {"same.txt": b"new", "sub/inner.txt": b"new inner"})
    make_tree(tmp_path / "dst", {"same.txt": b"old content, longer", "sub/inner.txt": b"old",
                                 "mine.txt": b"mine", "sub/also_mine": b"m"})
    copy_files(tmp_path / "src", tmp_path / "dst")  # path objects are accepted too
    dst = tmp_path / "dst"
    assert (dst / "same.txt").read_bytes() == b"new"
    assert (dst / "sub/inner.txt").read_bytes() == b"new inner"
    assert (dst / "mine.txt").read_bytes() == b"mine" and (dst / "sub/also_mine").exists()


def test_keeps_times_and_permission_bits_and_creates_missing_parents(tmp_path):
    src = tmp_path / "src"
    make_tree(src, {"run.sh": b"#!/bin/sh\n", "deep/data.bin": bytes(range(256)) * 64})
    os.chmod(src / "run.sh", 0o751)
    os.utime(src / "run.sh", ns=(OLD_NS, OLD_NS))
    os.utime(src / "deep/data.bin", ns=(OLD_NS + 7, OLD_NS + 7))
    dst = tmp_path / "x" / "y" / "dst"
    copy_files(str(src), str(dst))
    st = os.stat(dst / "run.sh")
    assert stat.S_IMODE(st.st_mode) == 0o751
    assert st.st_mtime_ns == OLD_NS
    assert os.stat(dst / "deep/data.bin").st_mtime_ns == OLD_NS + 7
    assert (dst / "deep/data.bin").read_bytes() == (src / "deep/data.bin").read_bytes()


def test_a_read_only_file_keeps_its_times(tmp_path):
    # Windows refuses new times on a file that is already read-only, so the
    # times must be set before the permission bits.
    src = tmp_path / "src"
    make_tree(src, {"frozen.txt": b"frozen"})
    os.utime(src / "frozen.txt", ns=(OLD_NS, OLD_NS))
    os.chmod(src / "frozen.txt", stat.S_IREAD)
    dst = tmp_path / "dst"
    copy_files(str(src), str(dst))
    st = os.stat(dst / "frozen.txt")
    assert st.st_mtime_ns // 10**7 == OLD_NS // 10**7  # Windows keeps 100 ns units
    assert not st.st_mode & stat.S_IWRITE
    os.chmod(dst / "frozen.txt", stat.S_IREAD | stat.S_IWRITE)
    os.chmod(src / "frozen.txt", stat.S_IREAD | stat.S_IWRITE)


def test_links_are_followed(tmp_path):
    outside = tmp_path / "outside"
    make_tree(outside, {"lib/mod.py": b"x = 1\n", "target.txt": b"target"})
    src = tmp_path / "src"
    src.mkdir()
    os.symlink(outside / "lib", src / "linked_dir")
    os.symlink(outside / "target.txt", src / "linked_file")
    copy_files(str(src), str(tmp_path / "dst"))
    dst = tmp_path / "dst"
    assert not (dst / "linked_dir").is_symlink() and not (dst / "linked_file").is_symlink()
    assert (dst / "linked_dir/mod.py").read_bytes() == b"x = 1\n"
    assert (dst / "linked_file").read_bytes() == b"target"


def test_link_back_to_an_ancestor_is_a_clear_error_not_endless_recursion(tmp_path):
    src = tmp_path / "src"
    make_tree(src, {"a/file.txt": b"f"})
    os.symlink(src, src / "a" / "loop")
    with pytest.raises(OSError) as err:
        copy_files(str(src), str(tmp_path / "dst"))
    assert err.value.errno == errno.ELOOP
    assert "loop" in str(err.value).lower()
    assert not (tmp_path / "dst/a/loop/a/loop").exists()


def test_copying_a_tree_into_itself_stops_with_an_error(tmp_path):
    src = tmp_path / "src"
    make_tree(src, {"f.txt": b"f"})
    with pytest.raises(OSError):
        copy_files(str(src), str(src / "inner"))
    assert not (src / "inner" / "inner" / "inner").exists()
    with pytest.raises(OSError):
        copy_files(str(src), str(src))
    assert (src / "f.txt").read_bytes() == b"f"


def test_failures_reach_the_caller(tmp_path):
    with pytest.raises(FileNotFoundError):
        copy_files(str(tmp_path / "missing"), str(tmp_path / "dst1"))

    src = tmp_path / "src"
    make_tree(src, {"sub/f.txt": b"f"})
    make_tree(tmp_path / "dst2", {"sub": b"a file where a directory is needed"})
    with pytest.raises(OSError):
        copy_files(str(src), str(tmp_path / "dst2"))

    os.symlink(tmp_path / "nowhere", src / "dangling")
    with pytest.raises(FileNotFoundError):
        copy_files(str(src), str(tmp_path / "dst3"))

    make_tree(tmp_path, {"plain.txt": b"p"})
    with pytest.raises(OSError):
        copy_files(str(tmp_path / "plain.txt"), str(tmp_path / "dst4"))


@pytest.mark.skipif(os.name == "nt", reason="POSIX file names may hold bytes that are not UTF-8")
def test_names_that_are_not_utf8_are_copied_and_named_in_errors(tmp_path):
    src = os.fsencode(tmp_path / "src")
    os.makedirs(os.path.join(src, b"dir\xff"))
    with open(os.path.join(src, b"dir\xff", b"file\xfe"), "wb") as f:
        f.write(b"data")
    copy_files(os.fsdecode(src), str(tmp_path / "dst"))
    with open(os.path.join(os.fsencode(tmp_path / "dst"), b"dir\xff", b"file\xfe"), "rb") as f:
        assert f.read() == b"data"

    os.symlink(b"nowhere", os.path.join(src, b"dir\xff", b"dangling\xfd"))
    with pytest.raises(FileNotFoundError) as err:
        copy_files(os.fsdecode(src), str(tmp_path / "dst2"))
    assert os.fsencode(err.value.filename).endswith(b"dangling\xfd")
