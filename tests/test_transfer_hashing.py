"""Hashing installed files against manifest entries."""
import hashlib
import os

import pytest

from tarvik_cmd import auto_update as au


def sha(b):
    return hashlib.sha256(b).hexdigest()


class TestHashes:
    def test_whole_file_hash(self, tmp_path):
        f = tmp_path / "f"
        f.write_bytes(os.urandom(200_000))
        assert au._sha256_file(str(f)) == sha(f.read_bytes())
        (tmp_path / "e").write_bytes(b"")
        assert au._sha256_file(tmp_path / "e") == sha(b"")

    def test_missing_file_is_passed_on(self, tmp_path):
        with pytest.raises(FileNotFoundError):
            au._sha256_file(tmp_path / "nope")
        with pytest.raises(FileNotFoundError):
            au._hash_blocks(tmp_path / "nope")

    def test_blocks_with_the_default_size_and_a_short_tail(self, tmp_path):
        data = os.urandom(600_000)
        f = tmp_path / "f"
        f.write_bytes(data)
        got = au._hash_blocks(f)
        assert got == [sha(data[:262144]), sha(data[262144:524288]), sha(data[524288:])]
        assert len(data[524288:]) == 75712

    def test_blocks_of_one_mebibyte_match_the_manifest_form(self, tmp_path):
        data = os.urandom(2 * 1048576 + 1)
        f = tmp_path / "f"
        f.write_bytes(data)
        assert au._hash_blocks(f, 1048576) == [sha(data[i:i + 1048576]) for i in range(0, len(data), 1048576)]

    @pytest.mark.parametrize("size", [16 * 1048576, 17 * 1048576 + 5, 16 * 1048576 + 3 * 262144])
    @pytest.mark.parametrize("block", [1048576, 262144, 3 * 1048576 + 7])
    def test_large_files_give_the_same_list_as_one_pass(self, tmp_path, size, block):
        # Large files are read in two halves at once; the seam must not show.
        data = os.urandom(size)
        f = tmp_path / "f"
        f.write_bytes(data)
        assert au._hash_blocks(f, block) == [sha(data[i:i + block]) for i in range(0, size, block)]

    def test_empty_file_has_no_blocks(self, tmp_path):
        (tmp_path / "e").write_bytes(b"")
        assert au._hash_blocks(tmp_path / "e", 4) == []


class TestEntries:
    H = "ab" * 32

    @pytest.mark.parametrize("val, is_block, whole", [
        ("ab" * 32, False, "ab" * 32),
        ({"size": 1, "sha256": "ab" * 32, "block_size": 4, "blocks": []}, True, "ab" * 32),
        ({"sha256": "cd", "blocks": "not a list"}, False, "cd"),
        ({"blocks": []}, False, None),
        ({"sha256": "cd"}, False, "cd"),
        (["ab"], False, None),
        (None, False, None),
        (42, False, None),
        (object(), False, None),
    ])
    def test_entry_forms(self, val, is_block, whole):
        assert au._is_block_entry(val) is is_block
        assert au._entry_sha256(val) == whole

    def test_entries_that_hold_themselves_or_nest_deeply(self):
        looped = []
        looped.append(looped)
        deep = []
        for _ in range(200_000):
            deep = [deep]
        entry = {"sha256": looped, "blocks": deep, "extra": {"x": looped}}
        assert au._is_block_entry(looped) is False and au._entry_sha256(looped) is None
        assert au._is_block_entry(deep) is False
        assert au._is_block_entry(entry) is True
        # the hash member comes back as the very object the entry holds
        assert au._entry_sha256(entry) is looped
        found = ("cd",)
        assert au._entry_sha256({"sha256": found}) is found


class TestScanLocalFiles:
    def test_lists_kept_files_with_slash_paths(self, tmp_path):
        app = tmp_path / "app"
        for rel, data in {
            "Shop": b"exe", "lib/a.so": b"a", "lib/sub/b.so": b"b",
            "manifest--Shop-linux-x64.json": b"{}", "manifest.json": b"{}", "lib/manifest-x.json": b"{}",
            "update.sh": b"", "update.bat": b"", "logs/x.log": b"log", "web/node_modules/p.js": b"",
            "notes.tmp": b"t",
        }.items():
            p = app / rel
            p.parent.mkdir(parents=True, exist_ok=True)
            p.write_bytes(data)
        (app / "lib" / "dangling").symlink_to(app / "gone")
        got = au._scan_local_files(str(app), ["*.tmp", "logs/"])
        assert got == {"Shop": sha(b"exe"), "lib/a.so": sha(b"a"), "lib/sub/b.so": sha(b"b")}
