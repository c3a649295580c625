"""create_file on real workspaces, with the stand-in framework package or a
private copy of it whose templates a test trims or breaks."""
import logging
import os
import sys
import tomllib

import pytest

from foundation_fixtures import DEVKIT_FRAMEWORK, framework, tree, workspace  # noqa: F401
from tarvik_cmd.init import create_file

BLUE, CYAN, RESET = "\x1b[34m", "\x1b[36m", "\x1b[0m"
STANDARD_FILES = [".gitignore", "LICENSE", "launcher.py", "discovered_apps.py", "logo.icns", "logo.png",
                  "logo.ico", "splash.png", "sqlite3.def", "sqlite3.dll", "README.md", "builder.toml"]
TEMPLATES = DEVKIT_FRAMEWORK / "cmd" / "file"


def info(text):
    return f"{BLUE}{text}{RESET}\n"


def run(capsys, caplog, folder=""):
    caplog.clear()
    with caplog.at_level(logging.WARNING, logger="tarvik_cmd"):
        result = create_file(folder)
    records = [(r.levelname, r.getMessage()) for r in caplog.records]
    return result, capsys.readouterr().out, records


def poetry(path="pyproject.toml"):
    with open(path, "rb") as f:
        return tomllib.load(f)["tool"]["poetry"]


def test_fresh_workspace_gets_every_file_folder_and_message(workspace, capsys, caplog):
    ok, out, logs = run(capsys, caplog)
    assert ok is True and logs == []
    for name in STANDARD_FILES + ["setup.ini", "ostervane/server.py", "ostervane2/__init__.py"]:
        assert (workspace / name).read_bytes() == (TEMPLATES / name).read_bytes(), name
    assert (workspace / "ostervane/task.py").read_bytes() == (TEMPLATES / "task.py").read_bytes()
    assert (workspace / "logs").is_dir() and (workspace / "dbs").is_dir()
    assert os.stat(workspace / "launcher.py").st_mtime_ns == os.stat(TEMPLATES / "launcher.py").st_mtime_ns
    assert out.startswith(info("Copied 'ostervane' folder to project.") + info("Copied 'ostervane2' folder to project.")
                          + info("Copied 'task.py' to ostervane folder.") + info("Copied setup.ini to project."))
    assert out.endswith(RESET + "\n\n") and out.count(CYAN) == 5
    assert poetry()["name"] == "tarvik" and poetry()["version"] == "0.0.1"
    # Only the two values changed: every other line is the template's.
    template_lines = (TEMPLATES / "pyproject.toml").read_text(encoding="utf-8").splitlines()
    lines = (workspace / "pyproject.toml").read_text(encoding="utf-8").splitlines()
    changed = [(a, b) for a, b in zip(template_lines, lines) if a != b]
    assert len(lines) == len(template_lines) and len(changed) == 2
    assert all(b.startswith(("name = \"tarvik\"", "version = \"0.0.1\"")) and "#" in b for a, b in changed)


def test_second_run_adds_nothing_and_prints_only_the_banner(workspace, capsys, caplog):
    assert create_file("shop")
    capsys.readouterr()
    assert poetry()["name"] == "shop"
    (workspace / "LICENSE").write_text("our own licence\n")
    before = {p: (workspace / p).read_bytes() for p in tree(workspace) if (workspace / p).is_file()}
    ok, out, logs = run(capsys, caplog, "other")
    assert ok and logs == []
    assert BLUE not in out and out.count(CYAN) == 5
    after = {p: (workspace / p).read_bytes() for p in tree(workspace) if (workspace / p).is_file()}
    assert after == before


def test_existing_pyproject_is_left_byte_for_byte(workspace, capsys, caplog):
    original = b"[project]\nname = 'mine'\r\n# no tool.poetry here\n"
    (workspace / "pyproject.toml").write_bytes(original)
    assert run(capsys, caplog, "x")[0]
    assert (workspace / "pyproject.toml").read_bytes() == original


@pytest.mark.parametrize("setup, expected, message", [
    ("[project]\nname = Ostervane\n", None, None),
    ("[project]\nname = other\n\n[extra]\nkeep = 1\n",
     "[project]\nname = ostervane\n\n[extra]\nkeep = 1\n\n", "Updated project name to 'ostervane' in setup.ini"),
    ("# comment\n[project]\nversion = 2\n",
     "[project]\nversion = 2\nname = ostervane\n\n", "Added project name 'ostervane' to setup.ini"),
    ("[other]\nx = y\n", "[other]\nx = y\n\n[project]\nname = ostervane\n\n",
     "Added project name 'ostervane' to setup.ini"),
])
def test_setup_ini_names_the_project(workspace, capsys, caplog, setup, expected, message):
    (workspace / "setup.ini").write_text(setup, encoding="utf-8")
    ok, out, _ = run(capsys, caplog)
    assert ok
    assert (workspace / "setup.ini").read_text(encoding="utf-8") == (expected or setup)
    assert "setup.ini" not in out if message is None else info(message) in out
    assert "Copied setup.ini" not in out


def test_without_any_setup_ini_template_one_is_created(workspace, framework, capsys, caplog):
    (framework / "cmd/file/setup.ini").unlink()
    ok, out, logs = run(capsys, caplog)
    assert ok
    assert logs == [("WARNING", f"Setup.ini template not found: {framework / 'cmd/file/setup.ini'}")]
    assert (workspace / "setup.ini").read_text(encoding="utf-8") == "[project]\nname = ostervane\n\n"
    assert info("Added project name 'ostervane' to setup.ini") in out


def test_existing_ostervane_folder_only_gets_task_py(workspace, capsys, caplog):
    (workspace / "ostervane").mkdir()
    (workspace / "ostervane" / "mine.py").write_text("x = 1\n")
    ok, out, _ = run(capsys, caplog)
    assert ok
    assert sorted(os.listdir(workspace / "ostervane")) == ["mine.py", "task.py"]
    assert "Copied 'ostervane' folder" not in out and info("Copied 'task.py' to ostervane folder.") in out


def test_invalid_setup_ini_stops_with_false(workspace, capsys, caplog):
    (workspace / "setup.ini").write_text("name = before any section\n[project]\n", encoding="utf-8")
    ok, out, logs = run(capsys, caplog)
    assert ok is False
    assert logs == [("ERROR", "Error during file creation: File contains no section headers.\nfile: "
                     f"'{workspace / 'setup.ini'}', line: 1\n'name = before any section\\n'")]
    assert not (workspace / "logs").exists() and not (workspace / "dbs").exists()
    assert CYAN not in out
    assert (workspace / "launcher.py").exists()  # earlier steps stay


def test_single_copy_failures_are_logged_and_skipped(workspace, framework, capsys, caplog):
    templates = framework / "cmd/file"
    (templates / "LICENSE").unlink()
    (templates / "LICENSE").mkdir()  # a directory cannot be copied as a file
    os.symlink(templates / "missing", templates / "ostervane" / "dangling.py")
    (templates / "ostervane2").rename(templates / "elsewhere")
    ok, out, logs = run(capsys, caplog)
    assert ok is True
    assert [lvl for lvl, _ in logs] == ["ERROR", "ERROR"]
    assert logs[0][1].startswith("Failed to copy LICENSE: ")
    assert logs[1][1].startswith("Failed to copy 'ostervane' folder: ")
    assert not (workspace / "LICENSE").exists() and (workspace / "README.md").exists()
    assert "Copied 'ostervane' folder" not in out and "ostervane2" not in out
    assert info("Copied 'task.py' to ostervane folder.") in out  # the partial folder exists


def test_task_py_without_an_ostervane_folder_is_logged(workspace, framework, capsys, caplog):
    import shutil
    shutil.rmtree(framework / "cmd/file/ostervane")
    ok, out, logs = run(capsys, caplog)
    assert ok and len(logs) == 1 and logs[0][1].startswith("Failed to copy 'task.py': ")


def test_missing_framework_package_returns_false(workspace, monkeypatch, capsys, caplog):
    monkeypatch.setitem(sys.modules, "tarvik", None)
    ok, out, logs = run(capsys, caplog)
    assert ok is False and len(logs) == 1
    assert logs[0][0] == "ERROR" and logs[0][1].startswith("Error during file creation: ")
    assert os.listdir(workspace) == []


def test_missing_or_broken_pyproject_template(workspace, framework, capsys, caplog):
    template = framework / "cmd/file/pyproject.toml"
    template.write_text("[tool.poetry]\nname = \n", encoding="utf-8")
    ok, out, logs = run(capsys, caplog)
    assert ok is False and logs[0][1].startswith("Error during file creation: ")
    assert os.listdir(workspace) == []

    template.unlink()
    ok, out, logs = run(capsys, caplog)
    assert ok is True
    assert logs == [("WARNING", f"Source pyproject.toml not found at {template}")]
    assert not (workspace / "pyproject.toml").exists()


# Templates and what must hold afterwards besides tool.poetry's two values:
# every line of the template that is given here stays in the output.
PYPROJECT_CASES = {
    "replace in place, comments kept": (
        '# top\n[tool.poetry]\nname = "old"  # the name\nversion = \'9\' # v\ndescription = "d"\n\n'
        '[tool.poetry.dependencies]\npython = "^3.11"\n',
        ['# top', '[tool.poetry]', 'description = "d"', '[tool.poetry.dependencies]', 'python = "^3.11"']),
    "missing keys go to the end of the table": (
        '[tool.poetry]\ndescription = "d"\nauthors = [\n  "a",\n]\n\n# about deps\n[tool.poetry.dependencies]\n'
        'python = "*"\n',
        ['description = "d"', '  "a",', '# about deps', 'python = "*"']),
    "no tool table": ('[project]\nname = "p"\n', ['[project]', 'name = "p"']),
    "tool without poetry": ('[tool.black]\nline-length = 100\n', ['[tool.black]', 'line-length = 100']),
    "poetry implied by a sub-table": ('[tool.poetry.dependencies]\npy = "3"\n', ['[tool.poetry.dependencies]']),
    "inline tables, non-ASCII before the value": (
        'tool = { "ünï" = "ü", poetry = { name = "äöü", x = 1 } } # ü\n[z]\n', ['[z]']),
    "empty inline poetry": ('[tool]\npoetry = {}\nother = 1\n', ['other = 1']),
    "dotted keys": ('[tool]\npoetry.name = "n"\npoetry.readme = "r"\n[z]\nk = 1\n',
                    ['poetry.readme = "r"', '[z]', 'k = 1']),
    "name is a table": ('[tool.poetry.name]\nfirst = "a"\n', []),
    "windows line ends, no final newline": ('[tool.poetry]\r\nname = "n"\r\nversion = "1"', ['[tool.poetry]']),
}


@pytest.mark.parametrize("case", PYPROJECT_CASES)
@pytest.mark.parametrize("folder", ["", 'we"ird\\name ü'])
def test_pyproject_gets_name_and_version_and_keeps_the_rest(workspace, framework, capsys, caplog, case, folder):
    text, kept = PYPROJECT_CASES[case]
    (framework / "cmd/file/pyproject.toml").write_bytes(text.encode("utf-8"))
    assert run(capsys, caplog, folder)[0] is True
    out = (workspace / "pyproject.toml").read_text(encoding="utf-8")
    doc = tomllib.loads(out)
    assert doc["tool"]["poetry"]["name"] == (folder or "tarvik")
    assert doc["tool"]["poetry"]["version"] == "0.0.1"
    original = tomllib.loads(text)
    for key, value in original.items():
        if key != "tool":
            assert doc[key] == value
    for key, value in original.get("tool", {}).items():
        if key != "poetry":
            assert doc["tool"][key] == value
    for key, value in original.get("tool", {}).get("poetry", {}).items():
        if key not in ("name", "version"):
            assert doc["tool"]["poetry"][key] == value
    lines = out.splitlines()
    for line in kept:
        assert line in lines


def test_failure_text_that_utf8_cannot_hold_still_returns_false(workspace, framework, capsys, caplog):
    # An error whose text carries an undecodable name (a lone surrogate).
    (framework / "__init__.py").write_text("raise ValueError('broken \\udcff package')\n")
    ok, out, logs = run(capsys, caplog)
    assert ok is False and out == ""
    assert logs == [("ERROR", "Error during file creation: broken \\udcff package")]
    assert os.listdir(workspace) == []


def test_poetry_header_after_its_sub_table_is_edited_in_place(workspace, framework, capsys, caplog):
    text = ('# deps first\n[tool.poetry.dependencies]\npython = "^3.11"\n\n[tool.poetry]\n'
            'description = "d"  # kept\n\n[tool.black]\nx = 1\n')
    (framework / "cmd/file/pyproject.toml").write_text(text, encoding="utf-8")
    assert run(capsys, caplog, "new\nline")[0] is True
    assert (workspace / "pyproject.toml").read_text(encoding="utf-8") == text.replace(
        'description = "d"  # kept\n', 'description = "d"  # kept\nname = "new\\nline"\nversion = "0.0.1"\n')


# Templates the edit in place cannot express: toml++'s rendering is used, and
# written only when tomllib reads it back as exactly the expected data.
@pytest.mark.parametrize("text, folder", [
    ('[tool.poetry.name]\nfirst = "a"\n', "x'''\nevil = 1\nz = '''y"),
    ('[tool.poetry.name]\nfirst = "a"\n', "\nleading break"),
    ('[tool.poetry.name]\nfirst = "a"\n', "a'''b"),
    ("[tool.poetry.x]\n[tool]\npoetry.o.p = 1\n", "plain"),
    ("[tool.poetry.x]\n[tool]\npoetry.o.p = 1\n", "x'''\nevil = 1\nz = '''y"),
])
def test_pyproject_is_written_only_when_it_reads_back_exactly(workspace, framework, capsys, caplog, text, folder):
    (framework / "cmd/file/pyproject.toml").write_text(text, encoding="utf-8")
    ok, _, logs = run(capsys, caplog, folder)
    target = workspace / "pyproject.toml"
    if not ok:
        assert not target.exists()
        assert logs == [("ERROR", "Error during file creation: pyproject.toml: cannot set tool.poetry "
                                  "in this template without changing other data")]
        assert "\n" in folder  # a plain name always fits
        return
    expected = tomllib.loads(text)
    expected.setdefault("tool", {}).setdefault("poetry", {}).update(name=folder, version="0.0.1")
    assert tomllib.loads(target.read_text(encoding="utf-8")) == expected


@pytest.mark.parametrize("text", ['[.poin = "3"', "\u00fc = 1", "[a]\nb = 1\n[a]\n", "x = 99999999999999999999",
                                  # valid TOML whose reading sends toml++ into undefined behaviour
                                  'x = """a\\\n  \u0467b"""\n[tool.poetry]\nname = "n"\n'])
def test_template_that_is_not_strict_toml_stops_before_the_toml_parser(workspace, framework, capsys, caplog, text):
    (framework / "cmd/file/pyproject.toml").write_text(text, encoding="utf-8")
    ok, out, logs = run(capsys, caplog)
    assert ok is False and out == ""
    try:
        tomllib.loads(text)
        message = None
    except tomllib.TOMLDecodeError as e:
        message = str(e)
    if message is not None:
        assert logs == [("ERROR", "Error during file creation: " + message)]
    else:  # valid TOML that toml++ cannot hold (an integer beyond 64 bits)
        assert len(logs) == 1 and logs[0][1].startswith("Error during file creation: ")
    assert os.listdir(workspace) == []
