"""generate_manifest on real distribution folders: entry forms around the
block threshold, what is left out, failures, and the copy in build/."""
import hashlib
import json
import os
import random

import pytest

from build_fixtures import build_env  # noqa: F401
from tarvik_cmd import build as b

MiB = 1048576
NAME = "manifest--Shop-linux-x64.json"


@pytest.fixture
def dist(tmp_path, build_env):
    build_env.chdir(tmp_path)
    d = tmp_path / "build" / "Shop-1.0-Linux"
    d.mkdir(parents=True)
    return d


def generate(app="Shop", version="1.0", folder="Shop-1.0-Linux"):
    b.generate_manifest(app, version, "linux", "x64", folder)
    text = (b"build/" + folder.encode() + b"/" + NAME.replace("Shop", app).encode())
    return json.loads(open(text, "rb").read().decode("utf-8"))


def pattern_bytes(size, seed):
    """Bytes that differ from block to block, so that a block hashed at the wrong place shows."""
    return random.Random(seed).randbytes(size)


def expected_entry(data):
    if len(data) < 8388608:
        return hashlib.sha256(data).hexdigest()
    return {"size": len(data), "sha256": hashlib.sha256(data).hexdigest(), "block_size": MiB,
            "blocks": [hashlib.sha256(data[i:i + MiB]).hexdigest() for i in range(0, len(data), MiB)]}


def test_entries_around_the_threshold(dist, capsys):
    sizes = {"empty.bin": 0, "below.bin": 8388607, "exact.bin": 8388608, "above.bin": 8388609,
             "lib/big.so": 20 * MiB + 12345}
    contents = {}
    for rel, size in sizes.items():
        (dist / rel).parent.mkdir(parents=True, exist_ok=True)
        contents[rel] = pattern_bytes(size, rel)
        (dist / rel).write_bytes(contents[rel])
    for i in range(150):  # enough small files to spread over both hashing threads
        rel = f"small/f{i:03}.txt"
        (dist / "small").mkdir(exist_ok=True)
        contents[rel] = f"small file {i}\n".encode() * i
        (dist / rel).write_bytes(contents[rel])

    doc = generate()
    assert list(doc) == ["app_name", "version", "os", "arch", "files"]
    assert (doc["app_name"], doc["version"], doc["os"], doc["arch"]) == ("Shop", "1.0", "linux", "x64")
    assert doc["files"] == {rel: expected_entry(data) for rel, data in contents.items()}
    assert doc["files"]["empty.bin"] == hashlib.sha256(b"").hexdigest()
    assert len(doc["files"]["exact.bin"]["blocks"]) == 8
    assert len(doc["files"]["above.bin"]["blocks"]) == 9
    assert list(doc["files"]["exact.bin"]) == ["size", "sha256", "block_size", "blocks"]
    assert list(doc["files"]) == sorted(doc["files"])  # reproducible order
    out = capsys.readouterr().out
    assert out == (f"[builder] generated build/Shop-1.0-Linux/{NAME}: {len(contents)} files\n"
                   f"[builder] copied to build/{NAME}\n")
    assert (dist.parent / NAME).read_bytes() == (dist / NAME).read_bytes()


@pytest.mark.parametrize("sizes", [[8 * MiB], [17 * MiB + 63], [40 * MiB + 1, 8 * MiB + 64]],
                         ids=["one at the threshold", "one alone", "a large and a small one"])
def test_large_files_alone_and_unevenly_shared(dist, sizes):
    contents = {f"lib/part{i}.bin": pattern_bytes(size, str(i)) for i, size in enumerate(sizes)}
    contents["a.txt"] = b"a"
    for rel, data in contents.items():
        (dist / rel).parent.mkdir(parents=True, exist_ok=True)
        (dist / rel).write_bytes(data)
    assert generate()["files"] == {rel: expected_entry(data) for rel, data in contents.items()}


def test_left_out_files(dist, tmp_path):
    (tmp_path / ".gitignore").write_text("  # comment after blanks\n   \n*.log\ndocs/*.md\n", encoding="utf-8")
    (dist / ".gitignore").write_text("logs/\n", encoding="utf-8")
    layout = ["keep.txt", "a.log", "sub/b.log", "logs/a.txt", "sub/logs/a.txt", "catalogs/a.txt",
              "docs/a.md", "docs/x/y.md", "sub/docs/a.md", "node_modules/m.js", "web/node_modules/p/q.js",
              f"sub/{NAME}", NAME, "manifest--Shop-linux-arm64.json", "manifest--Shop-windows-x64.json",
              "# comment after blanks"]
    for rel in layout:
        (dist / rel).parent.mkdir(parents=True, exist_ok=True)
        (dist / rel).write_text(rel, encoding="utf-8")
    assert b.load_gitignore(str(dist)) == ["logs/", "*.log", "docs/*.md"]
    files = generate()["files"]
    assert sorted(files) == sorted(["keep.txt", ".gitignore", "catalogs/a.txt", "sub/docs/a.md",
                                    "manifest--Shop-linux-arm64.json", "manifest--Shop-windows-x64.json",
                                    "# comment after blanks"])


def test_folders_updates_never_write_and_signed_statements_are_left_out(dist, capsys):
    # An update client refuses a whole release that lists any of these.
    (dist / ".gitignore").write_text("cache/\n", encoding="utf-8")
    layout = ["app.py", "__pycache__/app.cpython-311.pyc", "pkg/__pycache__/m.pyc", "logs/today.log",
              "data/dbs/main.db", "data/dbs/logs/x.txt", "cache/logs/ignored.txt", "catalogs/c.txt",
              "mylogs/d.txt", "dbs.txt", f"{NAME}.sig", "sub/manifest-old.json.sig", "manifest.json.sig"]
    for rel in layout:
        (dist / rel).parent.mkdir(parents=True, exist_ok=True)
        (dist / rel).write_text(rel, encoding="utf-8")
    (dist / "dbs").mkdir()  # empty: nothing left out, nothing said
    files = generate()["files"]
    assert sorted(files) == [".gitignore", "app.py", "catalogs/c.txt", "dbs.txt", "manifest.json.sig",
                             "mylogs/d.txt"]
    said = [line for line in capsys.readouterr().out.splitlines() if "left out" in line]
    assert said == [f"[builder] left out of the manifest, updates never write there: build/Shop-1.0-Linux/{f}"
                    for f in ["__pycache__", "data/dbs", "logs", "pkg/__pycache__"]]


def test_links(dist, tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "inner.txt").write_text("inner")
    (dist / "real.txt").write_text("real content")
    (dist / "to_file").symlink_to(dist / "real.txt")
    (dist / "to_dir").symlink_to(outside)
    files = generate()["files"]
    assert files == {"real.txt": hashlib.sha256(b"real content").hexdigest(),
                     "to_file": hashlib.sha256(b"real content").hexdigest()}


def test_files_of_many_folders_in_sorted_order(dist):
    # sorted paths leave and re-enter folders ("a/b.txt" < "a/b/c.txt" < "a/c.txt");
    # more files than one thread's run of them
    names = ["a.txt", "a/b.txt", "a/b/c.txt", "a/c.txt", "a b/x", "z/1/2/3/deep.bin", "\u00e9t\u00e9/f"]
    names += [f"m/{i % 7}/f{i:03}" for i in range(150)]
    for i, rel in enumerate(names):
        (dist / rel).parent.mkdir(parents=True, exist_ok=True)
        (dist / rel).write_bytes(f"{i}:{rel}".encode())
    assert generate()["files"] == {rel: hashlib.sha256(f"{i}:{rel}".encode()).hexdigest()
                                   for i, rel in enumerate(names)}


def test_distribution_folder_reached_through_a_link(tmp_path, build_env):
    build_env.chdir(tmp_path)
    real = tmp_path / "elsewhere" / "Shop-1.0-Linux"
    (real / "lib").mkdir(parents=True)
    (real / "lib" / "a.so").write_bytes(b"a")
    (tmp_path / "build").mkdir()
    (tmp_path / "build" / "Shop-1.0-Linux").symlink_to(real)
    assert generate()["files"] == {"lib/a.so": hashlib.sha256(b"a").hexdigest()}


class TestFailures:
    def test_failure_names_the_whole_path(self, dist):
        (dist / "sub" / "deeper").mkdir(parents=True)
        (dist / "sub" / "ok.txt").write_text("ok")
        (dist / "sub" / "deeper" / "dangling").symlink_to(dist / "gone")
        with pytest.raises(FileNotFoundError) as info:
            generate()
        assert info.value.filename == "build/Shop-1.0-Linux/sub/deeper/dangling"

    def test_missing_folder(self, tmp_path, build_env):
        build_env.chdir(tmp_path)
        with pytest.raises(FileNotFoundError) as info:
            b.generate_manifest("Shop", "1.0", "linux", "x64", "Shop-1.0-Linux")
        assert str(info.value) == "Build output directory does not exist: build/Shop-1.0-Linux"
        assert not (tmp_path / "build").exists()

    def test_broken_link_writes_nothing(self, dist):
        (dist / "ok.txt").write_text("ok")
        (dist / "dangling").symlink_to(dist / "gone")
        with pytest.raises(FileNotFoundError):
            generate()
        assert not (dist / NAME).exists() and not (dist.parent / NAME).exists()

    def test_special_file_fails_instead_of_blocking(self, dist):
        (dist / "a.txt").write_text("a")
        os.mkfifo(dist / "pipe")
        with pytest.raises(OSError, match="pipe"):
            generate()
        assert not (dist / NAME).exists()

    def test_name_that_is_not_utf8_is_refused(self, dist):
        with open(os.path.join(os.fsencode(dist), b"bad\xffname"), "wb") as f:
            f.write(b"x")
        with pytest.raises(ValueError, match="not valid UTF-8"):
            generate()
        assert not (dist / NAME).exists()

    def test_a_name_the_manifest_cannot_hold_comes_before_a_read_failure(self, dist):
        # the files are hashed while the walk goes on: the dangling link is met first
        (dist / "a").mkdir()
        (dist / "a" / "dangling").symlink_to(dist / "gone")
        for i in range(200):
            (dist / "a" / f"f{i:03}").write_text("x")
        os.makedirs(os.path.join(os.fsencode(dist), b"z", b"deeper"))
        with open(os.path.join(os.fsencode(dist), b"z", b"deeper", b"bad\xffname"), "wb") as f:
            f.write(b"x")
        with pytest.raises(ValueError, match="not valid UTF-8"):
            generate()
        assert not (dist / NAME).exists()

    def test_ignored_name_that_is_not_utf8_is_fine(self, dist):
        os.makedirs(os.path.join(os.fsencode(dist), b"node_modules"))
        with open(os.path.join(os.fsencode(dist), b"node_modules", b"bad\xffname"), "wb") as f:
            f.write(b"x")
        assert generate()["files"] == {}

    def test_unwritable_copy_target_keeps_the_manifest_in_the_folder(self, dist):
        (dist / "a.txt").write_text("a")
        (dist.parent / NAME).mkdir()  # a folder where the copy should go
        with pytest.raises(IsADirectoryError):
            generate()
        assert json.loads((dist / NAME).read_text())["files"] == {"a.txt": hashlib.sha256(b"a").hexdigest()}
