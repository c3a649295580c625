"""deploy() end to end in a real workspace, with the token stand-in and either
the framework stand-in's workflow template or a framework package of the test's
own."""
import re
import sys
import types
from pathlib import Path

import pytest
import tarvik_token

from tarvik_cmd.deploy import _read_launcher_meta, deploy

DEVKIT_TEMPLATE = Path(__file__).resolve().parents[1] / "devkit/tarvik/cmd/file/ostervane.yaml"


@pytest.fixture
def workspace(tmp_path, monkeypatch):
    ws = tmp_path / "ws"
    ws.mkdir()
    (ws / "launcher.py").write_text('app_name = "Shop"\nversion = "0.9"\nversion = "1.2.0"  # bumped\n')
    monkeypatch.chdir(ws)
    monkeypatch.setenv("TARVIK_TOKEN_KEY", "chan-\u00e9-42")
    return ws


@pytest.fixture
def framework(tmp_path, monkeypatch):
    """A framework package of the test's own; returns its cmd/file folder."""
    pkg = tmp_path / "fw" / "tarvik"
    (pkg / "cmd" / "file").mkdir(parents=True)
    (pkg / "__init__.py").write_text("")
    module = types.ModuleType("tarvik")
    module.__file__ = str(pkg / "__init__.py")
    monkeypatch.setitem(sys.modules, "tarvik", module)
    return pkg / "cmd" / "file"


def workflow(ws):
    return (ws / ".github/workflows/ostervane.yaml").read_bytes().decode("utf-8")


def test_writes_the_template_with_the_application_env_and_replaces_edits(workspace, capsys):
    assert _read_launcher_meta() == ("Shop", "1.2.0")  # the last version line wins
    deploy("ignored-folder")
    (workspace / ".github/workflows/ostervane.yaml").write_text("edited")
    deploy(".")
    first, rest = DEVKIT_TEMPLATE.read_text(encoding="utf-8").split("\n", 1)
    assert workflow(workspace) == (first + '\nenv:\n  APP_NAME: "Shop"\n  BASE_VERSION: "1.2.0"\n'
                                   '  COMMUNITY_KEY: "chan-\u00e9-42"\n' + rest)
    assert capsys.readouterr().out == "Deploy project success\n" * 2


def test_template_line_ends_are_read_as_newlines(workspace, framework):
    (framework / "ostervane.yaml").write_bytes(b"name: X\r\nenv:\r\n  COMMUNITY_KEY: old\r\n  KEEP: 1\rjobs: {}\r\n")
    deploy(".")
    assert workflow(workspace) == ('name: X\nenv:\n  COMMUNITY_KEY: "chan-\u00e9-42"\n  KEEP: 1\n'
                                   '  APP_NAME: "Shop"\n  BASE_VERSION: "1.2.0"\njobs: {}\n')


def test_missing_template_still_succeeds_and_writes_nothing(workspace, framework, capsys):
    deploy(".")
    assert list((workspace / ".github/workflows").iterdir()) == []
    assert capsys.readouterr().out == "Deploy project success\n"


@pytest.mark.parametrize("launcher, message", [
    (None, "launcher.py not found: {ws}/launcher.py"),
    ("  app_name = \"Shop\"\nversion = \"1\"\n", "Cannot read app_name from launcher.py"),
    ("app_name = \"Shop\"\nversion = '1.0'\n", "Cannot read version from launcher.py"),
])
def test_launcher_failures_propagate_before_any_directory(workspace, capsys, launcher, message):
    if launcher is None:
        (workspace / "launcher.py").unlink()
    else:
        (workspace / "launcher.py").write_text(launcher)
    with pytest.raises(Exception, match="^" + re.escape(message.format(ws=workspace)) + "$"):
        deploy(".")
    assert not (workspace / ".github").exists()
    assert capsys.readouterr().out == ""


def _raise():
    raise RuntimeError("token service down")


@pytest.mark.parametrize("encrypt_info, kind, text", [
    (_raise, RuntimeError, "token service down"),
    (lambda: ("only",), ValueError, "not enough values to unpack (expected 2, got 1)"),
    (lambda: ("k", "s", "x"), ValueError, "too many values to unpack (expected 2)"),
    (lambda: 7, TypeError, "cannot unpack non-iterable int object"),
])
def test_token_comes_first_and_must_be_a_pair(workspace, monkeypatch, encrypt_info, kind, text):
    monkeypatch.setattr(tarvik_token, "encrypt_info", encrypt_info)
    (workspace / "launcher.py").unlink()  # would fail too, but only afterwards
    with pytest.raises(kind, match="^" + re.escape(text) + "$"):
        deploy(".")
    assert not (workspace / ".github").exists()


def test_file_system_failures_propagate(workspace):
    (workspace / ".github").write_text("not a directory")
    with pytest.raises(OSError):
        deploy(".")
