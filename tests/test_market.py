"""copy_project: an installed project package copied into the workspace; the
process ends with status 1 when no such package is installed."""
import configparser
import subprocess
import sys

import pytest

from scaffold_fixtures import call, latin1_default, tree, workspace, write_ini  # noqa: F401
from tarvik_cmd.market import copy_project

NOT_FOUND = "No package named {} found, please check your package name or install it first.\n"
NO_PROJECT = ("No project found in the current environment, please check your environment or "
              "install the project first.\n")


@pytest.fixture
def site(tmp_path, monkeypatch):
    """A folder on the module search path holding installed-looking packages."""
    (tmp_path / "site").mkdir()
    monkeypatch.syspath_prepend(str(tmp_path / "site"))
    return tmp_path / "site"


def package(site, name, conf="[mode]\nname = project\n"):
    (site / name / "views").mkdir(parents=True)
    (site / name / "__init__.py").write_text("")
    (site / name / "views" / "index.py").write_text("PAGE = 1\n")
    if conf is not None:
        write_ini(site / name / "tarvikconf.ini", conf)
    return site / name


def test_checks(workspace, site, capsys, monkeypatch):
    assert call(copy_project, monkeypatch, capsys, "market") == "Please enter your project name\n"
    package(site, "mkt_there")
    (workspace / "mkt_there").mkdir()
    assert call(copy_project, monkeypatch, capsys, "market", "mkt_there") == "Project directory already exists\n"
    assert tree(workspace) == ["mkt_there"]


def test_unknown_package_ends_the_process_with_status_1(workspace):
    code = ("import sys; sys.argv = ['tarvik', 'market', 'mkt_nowhere']\n"
            "from tarvik_cmd.market import copy_project\ncopy_project('folder')\nprint('not reached')\n")
    run = subprocess.run([sys.executable, "-c", code], cwd=workspace, capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout, run.stderr) == (1, NOT_FOUND.format("mkt_nowhere"), "")
    assert tree(workspace) == []


@pytest.mark.parametrize("name", ["sys", "mkt_module", "mkt_namespace", "mkt_missing.sub", ".relative"])
def test_only_regular_packages_are_found(workspace, site, capsys, monkeypatch, name):
    # A built-in module has no folder: it must not read the workspace's own file.
    write_ini(workspace / "tarvikconf.ini", "[mode]\nname = project\n")
    (site / "mkt_module.py").write_text("")
    write_ini(site / "mkt_namespace" / "tarvikconf.ini", "[mode]\nname = project\n")
    with pytest.raises(SystemExit) as exit_info:
        call(copy_project, monkeypatch, capsys, "market", name)
    assert exit_info.value.code == 1
    assert capsys.readouterr().out == NOT_FOUND.format(name)
    assert tree(workspace) == ["tarvikconf.ini"]


@pytest.mark.parametrize("conf", [None, "[other]\n", "[mode]\nkind = project\n", "[mode]\nname = plugins\n"])
def test_package_that_is_not_a_project(workspace, site, capsys, monkeypatch, conf):
    package(site, "mkt_plugin", conf)
    assert call(copy_project, monkeypatch, capsys, "market", "mkt_plugin") == NO_PROJECT
    assert tree(workspace) == []


def test_project_is_copied_and_setup_ini_names_the_folder(workspace, site, capsys, monkeypatch, latin1_default):
    pkg = package(site, "mkt_shop")
    write_ini(workspace / "setup.ini", "[project]\nname = ostervane\n\n[server]\nport = 8000\n")
    monkeypatch.setattr(sys, "argv", ["tarvik", "market", "mkt_shop"])
    copy_project("my_café")
    assert capsys.readouterr().out == "Initialized project workspace mkt_shop\n"
    assert tree(workspace / "mkt_shop") == tree(pkg)
    assert (workspace / "mkt_shop" / "views" / "index.py").read_text() == "PAGE = 1\n"
    # Written in the platform's default encoding.
    assert (workspace / "setup.ini").read_bytes() == "[project]\nname = my_café\n\n[server]\nport = 8000\n\n".encode(
        "latin-1")


def test_missing_setup_ini_fails_after_the_copy(workspace, site, monkeypatch):
    package(site, "mkt_nosetup")
    monkeypatch.setattr(sys, "argv", ["tarvik", "market", "mkt_nosetup"])
    with pytest.raises(configparser.NoSectionError):
        copy_project("folder")
    assert (workspace / "mkt_nosetup" / "views" / "index.py").is_file()
    assert not (workspace / "setup.ini").exists()

