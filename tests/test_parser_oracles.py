"""The fuzz targets' oracle rules (fuzz/oracles.py), run over a few thousand
seeded generated inputs through the library's Python surface, so that a normal
test run catches what the fuzzers would: INI against configparser, the ignore
rules against fnmatch, the pyproject.toml edit against tomllib."""
import logging
import os
import random
import shutil
import sys
from pathlib import Path

import pytest

from tarvik_cmd._tarvik_cmd.core import IniConfig
from foundation_fixtures import framework  # noqa: F401
from tarvik_cmd.build import is_ignored
from tarvik_cmd.init import create_file

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fuzz"))
import oracles  # noqa: E402

INI_PIECES = ["[", "]", "[s]", "[DEFAULT]", "[Ä]", "a", "K", "Ö", "=", ":", " = ", " ", "\t", "\n", "\n",
              "\n", "\r", "\r\n", "#", ";", "  cont", "x = 1", "\x0c", "\u3000", "%"]
GLOB_PIECES = ["*", "?", "[", "]", "!", "^", "-", "a", "b", "B", "/", ".", "\\", "ä", "Ä", "ß", "[a-c]",
               "[!x]", "node_modules", "x/", "**"]
PATH_PIECES = ["a", "b", "B", "/", ".", "-", "]", "[", "!", "ä", "ß", "node_modules", "x", "py", "\\", "*"]
TOML_LINES = ["[tool]", "[tool.poetry]", "[tool.poetry.dependencies]", "[tool.poetry.x]", "[project]",
              "[[tool.poetry.packages]]", "[tool.black]", 'name = "old"', "version = '1'", 'poetry.name = "n"',
              "poetry.o.p = 1", 'tool.poetry.name = "n"', 'description = """\n[tool.poetry]\nmulti\n"""',
              "arr = [\n  1,\n  [2],\n]", "# comment", "", "x = 1", 'name.first = "a"',
              "poetry = { name = 'q' }", 'include = "src"  # trailing', "d = 1979-05-27", "f = nan"]
NAMES = ["tarvik", "a\nb", "\nlead", "x'''\nevil = 1\nz = '''y", 'q"uote', "back\\slash", "ü", "tab\tx",
         "'''", '"""', "trail\n", "\r", "#no"]


def pieces(rng, pool, most):
    return "".join(rng.choice(pool) for _ in range(rng.randint(0, most)))


def test_ini_reads_and_writes_like_configparser():
    rng = random.Random(13)
    for _ in range(3000):
        text = pieces(rng, INI_PIECES, 30)
        config = IniConfig()
        try:
            config.read_string(text)
            cpp = "ok:" + config.to_string()
        except Exception as e:  # noqa: BLE001 - its kind is compared with configparser's
            cpp = "error:" + type(e).__name__
        assert oracles.ini(text.encode(), cpp.encode()) == "", repr(text)


def test_ignore_rules_match_like_fnmatch():
    rng = random.Random(13)
    for _ in range(3000):
        path = pieces(rng, PATH_PIECES, 6)
        patterns = [pieces(rng, GLOB_PIECES, 5) for _ in range(rng.randint(0, 3))]
        assert is_ignored(path, patterns) == oracles.ignored(path, patterns), (path, patterns)
        for p in patterns:
            assert is_ignored(path, [p]) == oracles.ignored(path, [p]), (path, p)


@pytest.fixture
def bare_framework(framework):  # noqa: F811
    """The framework with only the pyproject.toml and setup.ini templates."""
    files = framework / "cmd" / "file"
    for entry in files.iterdir():
        if entry.name not in ("pyproject.toml", "setup.ini"):
            shutil.rmtree(entry) if entry.is_dir() else entry.unlink()
    return files


def test_pyproject_edit_reads_like_tomllib(bare_framework, tmp_path, monkeypatch, capsys, caplog):
    rng = random.Random(13)
    written = refused = 0
    for i in range(1500):
        template = "\n".join(rng.choice(TOML_LINES) for _ in range(rng.randint(0, 7))) + rng.choice(["", "\n"])
        name = rng.choice(NAMES)
        (bare_framework / "pyproject.toml").write_text(template, encoding="utf-8", newline="")
        ws = tmp_path / f"ws{i}"
        ws.mkdir()
        monkeypatch.chdir(ws)
        caplog.clear()
        with caplog.at_level(logging.ERROR, logger="tarvik_cmd"):
            ok = create_file(name)
        capsys.readouterr()
        target = ws / "pyproject.toml"
        if ok:
            written += 1
            cpp = "ok:" + target.read_text(encoding="utf-8")
            assert oracles.toml_edit(f"{name}\0{template}".encode(), cpp.encode()) == "", (name, template)
        else:
            refused += 1
            assert not target.exists()  # a refused edit writes nothing
            assert [r.getMessage().startswith("Error during file creation: ") for r in caplog.records] == [True]
            # Refused only what tomllib refuses or what cannot be expressed.
            assert oracles.edited_toml(template, name) is None or "cannot set" in caplog.records[0].getMessage()
        os.chdir(tmp_path)
        shutil.rmtree(ws)
    assert written > 1000 and refused > 0
