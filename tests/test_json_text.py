"""The JSON text form of manifests, byte for byte against Python's
json.dumps(indent=2, ensure_ascii=False)."""
import hashlib
import json

import pytest

from build_fixtures import build_env  # noqa: F401
from tarvik_cmd import build as b

TRICKY = "q\"uote back\\slash tab\t nl\n cr\r bs\b ff\f c1\x01 c1f\x1f del\x7f ls\u2028 \u00e9\u4e2d\U0001F600 /s"


def manifest_text(folder):
    with open(f"build/{folder}/manifest--Caf\u00e9-linux-x64.json", "rb") as f:
        return f.read().decode("utf-8")


@pytest.fixture
def here(tmp_path, build_env):
    build_env.chdir(tmp_path)
    return tmp_path


def test_empty_listing(here):
    (here / "build" / "D").mkdir(parents=True)
    b.generate_manifest("Caf\u00e9", TRICKY, "linux", "x64", "D")
    text = manifest_text("D")
    expected = {"app_name": "Caf\u00e9", "version": TRICKY, "os": "linux", "arch": "x64", "files": {}}
    assert text == json.dumps(expected, indent=2, ensure_ascii=False)
    assert '"files": {}\n}' in text and not text.endswith("\n")


def test_names_and_nesting(here):
    dist = here / "build" / "D"
    names = ["\u00e9t\u00e9/\u00fcber.txt", "quote\"d.txt", "back\\slash.txt", "tab\tname", "\u4e2d/\U0001F600"]
    for n in names:
        (dist / n).parent.mkdir(parents=True, exist_ok=True)
        (dist / n).write_bytes(n.encode())
    (dist / "big.bin").write_bytes(b"\1" * (8 * 1048576 + 1))
    b.generate_manifest("Caf\u00e9", "1.0", "linux", "x64", "D")
    text = manifest_text("D")
    files = {n: hashlib.sha256(n.encode()).hexdigest() for n in names}
    data = b"\1" * (8 * 1048576 + 1)
    files["big.bin"] = {"size": len(data), "sha256": hashlib.sha256(data).hexdigest(), "block_size": 1048576,
                        "blocks": [hashlib.sha256(data[i:i + 1048576]).hexdigest()
                                   for i in range(0, len(data), 1048576)]}
    expected = {"app_name": "Caf\u00e9", "version": "1.0", "os": "linux", "arch": "x64",
                "files": dict(sorted(files.items()))}
    assert text == json.dumps(expected, indent=2, ensure_ascii=False)
    assert "\\u00e9" not in text and "\u00fcber" in text
