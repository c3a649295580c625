"""new_app and the generated apps.py: the checks in their order, the app
folder, and the discovered-apps refresh with the argument list reduced."""
import configparser
import json
import sys

import pytest

from scaffold_fixtures import (call, latin1_default, project_apps_py,  # noqa: F401
                               project_workspace, tree, workspace, write_ini)
from tarvik_cmd.changeapps import create_project_apps_py
from tarvik_cmd.createapp import new_app


@pytest.fixture
def generator(monkeypatch):
    """The framework's generator, replaced by one that records its calls."""
    import tarvik.cmd.file.discovered_apps as module

    def main(workspace):
        main.calls.append((workspace, list(sys.argv)))
        if main.fail:
            raise RuntimeError("generator broke")
    main.calls, main.fail = [], False
    monkeypatch.setattr(module, "main", main)
    return main


@pytest.mark.parametrize("args, conf, existing, message", [
    ((), "[mode]\nname = project\n", None, "Please enter your app name"),
    (("tarvik",), None, None, "Invalid app name. Please enter a valid app name."),  # before the workspace
    (("blog",), "[mode]\nname = plugins\n", "blog", "Invalid project mode. Please create a new project "
                                                     "or switch to project mode."),
    (("blog",), "[mode]\nname = Project\n", None, "Invalid project mode. Please create a new project "
                                                  "or switch to project mode."),
    (("blog",), "[mode]\nname = project\n", "blog", "App directory already exists"),
])
def test_checks(workspace, capsys, monkeypatch, args, conf, existing, message):
    if conf:
        write_ini(workspace / "ostervane" / "tarvikconf.ini", conf)
    if existing:
        (workspace / "ostervane" / existing).mkdir()
        (workspace / "ostervane" / existing / "mine.py").write_text("")
    before = tree(workspace)
    assert call(new_app, monkeypatch, capsys, "createapp", *args) == message + "\n"
    assert tree(workspace) == before


@pytest.mark.parametrize("conf, error", [(None, configparser.NoSectionError),
                                         ("[mode]\nkind = project\n", configparser.NoOptionError)])
def test_unreadable_mode_reaches_the_caller(workspace, monkeypatch, conf, error):
    if conf:
        write_ini(workspace / "ostervane" / "tarvikconf.ini", conf)
    monkeypatch.setattr(sys, "argv", ["tarvik", "createapp", "blog"])
    with pytest.raises(error):
        new_app("")


def test_new_app(project_workspace, capsys, monkeypatch):
    argv = ["tarvik", "createapp", "blog", "extra"]
    monkeypatch.setattr(sys, "argv", argv)
    new_app("not the name")
    assert capsys.readouterr().out == "Create APP success blog\n"
    app = project_workspace / "ostervane" / "blog"
    assert tree(app) == ["__init__.py", "admin.py", "apps.py", "migrations", "migrations/__init__.py",
                         "models.py", "urls.py", "views.py"]
    assert (app / "apps.py").read_bytes().decode() == project_apps_py("Blog", "ostervane.blog")
    assert json.loads((project_workspace / "apps.json").read_text())["apps"] == ["ostervane.blog"]
    assert sys.argv is argv and argv == ["tarvik", "createapp", "blog", "extra"]
    # The reserved name is case-sensitive.
    assert call(new_app, monkeypatch, capsys, "createapp", "Tarvik") == "Create APP success Tarvik\n"


@pytest.mark.parametrize("name, cls", [("myBlog", "Myblog"), ("émile", "Émile"), ("SHOP2", "Shop2")])
def test_apps_py_byte_for_byte(project_workspace, latin1_default, name, cls):
    path = project_workspace / "ostervane" / name / "apps.py"
    path.parent.mkdir()
    path.write_text("an older and longer file\n" * 50)
    create_project_apps_py(str(path), "ostervane", name)
    # Written in the platform's default encoding (latin-1 here).
    assert path.read_bytes() == project_apps_py(cls, "ostervane." + name).encode("latin-1")


@pytest.mark.parametrize("fails", [False, True])
def test_generator_sees_argv0_and_argv_is_put_back(project_workspace, monkeypatch, generator, fails):
    generator.fail = fails
    argv = ["tarvik", "createapp", "blog"]
    monkeypatch.setattr(sys, "argv", argv)
    path = project_workspace / "ostervane" / "blog" / "apps.py"
    path.parent.mkdir()
    try:
        create_project_apps_py(str(path), "ostervane", "blog")
    except RuntimeError as e:
        assert fails and str(e) == "generator broke"
    assert generator.calls == [(str(project_workspace), ["tarvik"])]
    assert sys.argv is argv and argv == ["tarvik", "createapp", "blog"]



@pytest.mark.skipif(sys.platform == "win32", reason="POSIX arguments are bytes")
def test_name_typed_in_another_encoding(project_workspace, capsys, monkeypatch, latin1_default):
    # "café" typed in a latin-1 terminal: Python holds the byte 0xE9 as "\udce9".
    name = b"caf\xe9".decode("utf-8", "surrogateescape")
    raw = bytes(project_workspace / "ostervane") + b"/caf\xe9"
    import os
    os.mkdir(raw)
    assert call(new_app, monkeypatch, capsys, "createapp", name) == "App directory already exists\n"
    os.rmdir(raw)
    # The folder gets exactly the typed bytes; the name cannot be written into apps.py.
    monkeypatch.setattr(sys, "argv", ["tarvik", "createapp", name])
    with pytest.raises(UnicodeEncodeError, match=r"can't encode character '\\udce9'"):
        new_app("")
    assert os.path.isdir(raw) and os.path.isfile(raw + b"/models.py")
    assert not os.path.exists(raw + b"/apps.py")
    assert sys.argv[2] == name
