"""Workspaces and framework packages for the scaffolding tests. Operations read
their name from sys.argv as the front end leaves it (["tarvik", <command>, <name>])
and work in the current directory; `framework` gives a test a private copy of
the stand-in framework package to trim or break."""
import importlib
import shutil
import sys
from pathlib import Path

import pytest

DEVKIT_FRAMEWORK = Path(__file__).resolve().parents[1] / "devkit" / "tarvik"

APPS_PY_HEAD = """from django.apps import AppConfig

ARGS_MAP = {
    'cron': ['year', 'month', 'day', 'week', 'day_of_week', 'hour', 'minute', 'second', 'start_date', 'end_date', 'timezone'],
    'interval': ['weeks', 'days', 'hours', 'minutes', 'seconds', 'start_date', 'end_date', 'timezone'],
    'date': ['run_date', 'timezone']
}

class {cls}Config(AppConfig):
    name = '{dotted}'
"""
APPS_PY_READY = """
    def ready(self):
        from tarvik.server.core.signal import tarvik_signals, tarvik_data_signals
        from tarvik.server.core.models import JobList
        import json

        try:
            JobList.objects.get_or_create(
                job_id='example_job',
                defaults={
                    'module_name': 'ostervane.task',
                    'func_name': 'example_job',
                    'trigger': 'interval',
                    'configuration': json.dumps({'minutes': 1}),
                    'description': 'Example scheduled task - Executed once every 1 minute',
                    'type': True,
                }
            )
        except:
            pass
"""


def project_apps_py(cls, dotted):
    return APPS_PY_HEAD.replace("{cls}", cls).replace("{dotted}", dotted) + APPS_PY_READY


def call(operation, monkeypatch, capsys, command, *args):
    """Runs the operation as the front end would; returns what it printed."""
    monkeypatch.setattr(sys, "argv", ["tarvik", command, *args])
    operation("ignored")
    return capsys.readouterr().out


def write_ini(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, encoding="utf-8")


def tree(root):
    return sorted(p.relative_to(root).as_posix() for p in Path(root).rglob("*"))


@pytest.fixture
def workspace(tmp_path, monkeypatch):
    (tmp_path / "ws").mkdir()
    monkeypatch.chdir(tmp_path / "ws")
    return tmp_path / "ws"


@pytest.fixture
def project_workspace(workspace):
    write_ini(workspace / "ostervane" / "tarvikconf.ini", "[mode]\nname = project\n")
    return workspace


@pytest.fixture
def framework(tmp_path, monkeypatch):
    """A private copy of the framework package, first on the import path."""
    shutil.copytree(DEVKIT_FRAMEWORK, tmp_path / "fw" / "tarvik", ignore=shutil.ignore_patterns("__pycache__"))
    ours = lambda: [k for k in sys.modules if k == "tarvik" or k.startswith("tarvik.")]  # noqa: E731
    saved = {k: sys.modules.pop(k) for k in ours()}
    monkeypatch.syspath_prepend(str(tmp_path / "fw"))
    importlib.invalidate_caches()
    yield tmp_path / "fw" / "tarvik"
    for k in ours():
        del sys.modules[k]
    sys.modules.update(saved)


@pytest.fixture
def latin1_default(monkeypatch):
    """The platform's default text encoding becomes latin-1."""
    import locale
    monkeypatch.setattr(locale, "getpreferredencoding", lambda do_setlocale=True: "latin-1")
