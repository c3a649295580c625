"""project: the checks in their order, the project layout, and the failures
that are printed instead of raised."""
import logging
import shutil
import tomllib

import pytest

from scaffold_fixtures import DEVKIT_FRAMEWORK, call, framework, tree, workspace, write_ini  # noqa: F401
from tarvik_cmd.project import project

RESERVED = 'Project name "ostervane" is reserved and cannot be used'


@pytest.mark.parametrize("args, existing, message", [
    ((), None, "Please enter your project name"),
    (("OSTERVANE",), "OSTERVANE", RESERVED),   # any letter case; before the exists check
    (("OsterVane",), None, RESERVED),
    (("shop",), "shop", "Project directory already exists"),
    (("Django",), None, "Project directory already exists"),  # an installed distribution's name
])
def test_checks(workspace, capsys, monkeypatch, args, existing, message):
    if existing:
        (workspace / existing).mkdir()
    before = tree(workspace)
    assert call(project, monkeypatch, capsys, "project", *args) == message + "\n"
    assert tree(workspace) == before


def test_project_layout_and_a_second_project(workspace, capsys, monkeypatch):
    out = call(project, monkeypatch, capsys, "project", "django")  # other case than the distribution
    assert out.splitlines()[-1] == "Initialized project workspace django"
    folder = workspace / "django"
    assert sorted(p.name for p in folder.iterdir()) == ["__init__.py", "tarvikconf.ini", "templates"]
    assert (folder / "__init__.py").read_bytes() == b""
    assert (folder / "tarvikconf.ini").read_bytes() == (DEVKIT_FRAMEWORK / "cmd/file/tarvikconf.ini").read_bytes()
    assert tree(folder / "templates") == tree(DEVKIT_FRAMEWORK / "templates")
    for name in ("launcher.py", "setup.ini", "ostervane", "logs", "dbs"):
        assert (workspace / name).exists(), name
    assert tomllib.loads((workspace / "pyproject.toml").read_text())["tool"]["poetry"]["name"] == "django"

    (workspace / "LICENSE").write_text("ours\n")
    out = call(project, monkeypatch, capsys, "project", "blog")
    assert "Copied" not in out and (workspace / "LICENSE").read_text() == "ours\n"
    assert out.splitlines()[-1] == "Initialized project workspace blog"


def test_logged_warnings_do_not_stop_it(workspace, framework, capsys, monkeypatch, caplog):
    import importlib.metadata

    def broken():
        raise RuntimeError("metadata unavailable")
    monkeypatch.setattr(importlib.metadata, "distributions", broken)
    template = framework / "cmd" / "file" / "tarvikconf.ini"
    template.unlink()
    write_ini(workspace / "setup.ini", "name = before any section\n")  # create_file fails and says so
    with caplog.at_level(logging.WARNING):
        out = call(project, monkeypatch, capsys, "project", "shop")
    assert caplog.messages[:2] == ["Could not check installed packages: metadata unavailable",
                                   f"Essential file not found: {template}"]
    assert caplog.messages[2].startswith("Error during file creation: ")
    assert out.splitlines()[-1] == "Initialized project workspace shop"
    assert tree(workspace / "shop")[:2] == ["__init__.py", "templates"]


@pytest.mark.parametrize("breakage, message", [
    ("blocking file", "Error creating project directory: "),
    ("no page templates", "Error creating project directory: "),
    ("broken framework", "Unexpected error during project initialization: framework is broken"),
])
def test_failures_are_printed(workspace, framework, capsys, monkeypatch, breakage, message):
    name = "shop"
    if breakage == "blocking file":
        (workspace / "blocker").write_text("")
        name = "blocker/shop"
    elif breakage == "no page templates":
        shutil.rmtree(framework / "templates")
    else:
        (framework / "__init__.py").write_text("raise RuntimeError('framework is broken')\n")
    last = call(project, monkeypatch, capsys, "project", name).splitlines()[-1]
    assert last.startswith(message)
    if breakage == "no page templates":  # what was created before the failure stays
        assert (workspace / "shop" / "__init__.py").is_file() and (workspace / "launcher.py").is_file()


@pytest.mark.skipif(__import__("sys").platform == "win32", reason="POSIX arguments are bytes")
def test_name_typed_in_another_encoding(workspace, capsys, monkeypatch, caplog):
    import os
    name = b"caf\xe9".decode("utf-8", "surrogateescape")
    out = call(project, monkeypatch, capsys, "project", name)
    raw = bytes(workspace) + b"/caf\xe9"
    assert sorted(os.listdir(raw)) == [b"__init__.py", b"tarvikconf.ini", b"templates"]
    # The name cannot go into the UTF-8 pyproject.toml: create_file logs that and
    # leaves the file out; the project itself is complete.
    assert not (workspace / "pyproject.toml").exists()
    assert ("Error during file creation: 'utf-8' codec can't encode character '\\udce9' in position 3: "
            "surrogates not allowed") in caplog.messages
    assert out.endswith("Initialized project workspace caf\ufffd\n")
