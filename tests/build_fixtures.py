"""Shared set-up of the build tests: a minimal application workspace that the
compiler stand-in can build, and isolation of the process-wide state a build
changes (environment variables, sys.path, the cached discovered_apps)."""
import os
import sys
import textwrap

import pytest

# Variables a build reads or sets; each test starts without them and gets the
# old values back afterwards.
BUILD_VARS = (
    "GITHUB_ACTIONS", "GITEE_PIPELINE_NAME", "GITEE_REPO", "COMMUNITY_KEY", "APP_NAME", "BASE_VERSION",
    "DJANGO_SETTINGS_MODULE", "RUN_MAIN", "PYTHONIOENCODING", "TARVIK_TOKEN_KEY",
    "TARVIK_FAKE_COMPILER_EXIT", "TARVIK_FAKE_COMPILER_SIGNAL", "TARVIK_FAKE_COMPILER_EXTRA",
    "TARVIK_FAKE_COMPILER_ECHO", "TARVIK_FAKE_COMPILER_REPORT", "TARVIK_FAKE_COMPILER_NO_OUTPUT",
    "TARVIK_SIGNING_KEY",
)

DISCOVERED_APPS = textwrap.dedent('''\
    import json, os, sys
    def main(workspace):
        if os.environ.get("DISCOVERED_APPS_FAIL"):
            raise RuntimeError("discovery failed")
        with open(os.path.join(workspace, "apps.json"), "w", encoding="utf-8") as f:
            json.dump({"apps": [], "argv": sys.argv, "workspace": workspace, "marker": MARKER}, f)
    MARKER = "default"
''')


def write_launcher(ws, app_name="Shop", version="1.2.0"):
    (ws / "launcher.py").write_text(
        f'"""Launcher."""\napp_name = "{app_name}"\nversion = "{version}"\nprint(app_name, version)\n',
        encoding="utf-8")


def make_workspace(ws, app_name="Shop", version="1.2.0", marker="default"):
    ws.mkdir(parents=True, exist_ok=True)
    write_launcher(ws, app_name, version)
    (ws / "discovered_apps.py").write_text(DISCOVERED_APPS.replace('"default"', repr(marker)),
                                           encoding="utf-8")
    (ws / ".gitignore").write_text("*.pyc\n__pycache__/\n# runtime\nlogs/\n", encoding="utf-8")
    (ws / "setup.ini").write_text("[project]\nname = ostervane\n", encoding="utf-8")
    (ws / "splash.png").write_bytes(b"\x89PNG splash")
    (ws / "ostervane").mkdir(exist_ok=True)
    for name in ("server", "receiver", "files", "task"):
        (ws / "ostervane" / f"{name}.py").write_text(f"# {name}\n", encoding="utf-8")
    return ws


@pytest.fixture
def build_env(monkeypatch):
    """Restores os.environ, sys.path and sys.argv after a test that builds."""
    for name in BUILD_VARS:
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("PYTHONPATH", os.environ.get("PYTHONPATH", ""))
    monkeypatch.setattr(sys, "path", list(sys.path))
    monkeypatch.setattr(sys, "argv", ["front-end", "build", "extra"])
    yield monkeypatch
    sys.modules.pop("discovered_apps", None)


@pytest.fixture
def workspace(tmp_path, build_env):
    """A buildable workspace as the current directory."""
    ws = make_workspace(tmp_path / "ws")
    build_env.chdir(ws)
    return ws


def builder_lines(text):
    return [line for line in text.splitlines() if line.startswith("[builder]")]
