"""Workspaces and private framework packages for the workspace tests.

`framework` gives a test its own copy of the stand-in framework package, first
on the import path, so that it can trim or break a template without touching
devkit/ or the modules other tests imported.
"""
import importlib
import shutil
import sys
from pathlib import Path

import pytest

DEVKIT_FRAMEWORK = Path(__file__).resolve().parents[1] / "devkit" / "tarvik"


def tree(root):
    """Every path below root, relative, with "/" separators."""
    root = Path(root)
    return sorted(p.relative_to(root).as_posix() for p in root.rglob("*"))


@pytest.fixture
def workspace(tmp_path, monkeypatch):
    ws = tmp_path / "ws"
    ws.mkdir()
    monkeypatch.chdir(ws)
    return ws


def _framework_modules():
    return {k: v for k, v in sys.modules.items() if k == "tarvik" or k.startswith("tarvik.")}


@pytest.fixture
def framework(tmp_path, monkeypatch):
    """The directory of a private copy of the framework package."""
    root = tmp_path / "site"
    pkg = root / "tarvik"
    shutil.copytree(DEVKIT_FRAMEWORK, pkg, symlinks=True, ignore=shutil.ignore_patterns("__pycache__"))
    saved = _framework_modules()
    for name in saved:
        del sys.modules[name]
    monkeypatch.syspath_prepend(str(root))
    importlib.invalidate_caches()
    yield pkg
    for name in _framework_modules():
        del sys.modules[name]
    sys.modules.update(saved)
