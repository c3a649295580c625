"""plugins: the checks, the plugin's files, and the version module that the
app skeleton must not replace."""
import configparser

import pytest

from scaffold_fixtures import (APPS_PY_HEAD, DEVKIT_FRAMEWORK, call, framework,  # noqa: F401
                               latin1_default, tree, workspace)
from tarvik_cmd.plugins import plugins


def version_module(name):
    return f"def version():\n    from {name} import __version__\n    return __version__.version()\n"


@pytest.mark.parametrize("args, existing, message", [
    ((), None, "Please enter your plugins name"),
    (("demo",), "demo", "Plugins directory already exists"),
    (("Django",), None, "Plugins directory already exists"),
])
def test_checks(workspace, capsys, monkeypatch, args, existing, message):
    if existing:
        (workspace / existing).mkdir()
    before = tree(workspace)
    assert call(plugins, monkeypatch, capsys, "plugins", *args) == message + "\n"
    assert tree(workspace) == before


def test_plugin_files(workspace, framework, capsys, monkeypatch):
    (framework / "cmd" / "extends" / "__init__.py").write_text("default_app_config = 'skeleton'\n")
    out = call(plugins, monkeypatch, capsys, "plugins", "demo")
    assert out.splitlines()[-1] == "Initialized plugins workspace demo"
    demo = workspace / "demo"
    assert (demo / "__init__.py").read_text() == version_module("demo")
    assert (demo / "__version__.py").read_bytes() == (DEVKIT_FRAMEWORK / "cmd/file/__version__.py").read_bytes()
    conf = configparser.ConfigParser()
    conf.read(demo / "tarvikconf.ini")
    assert conf.get("mode", "name") == "plugins"
    assert (demo / "apps.py").read_text() == APPS_PY_HEAD.replace("{cls}", "Demo").replace("{dotted}", "demo")
    assert {"views.py", "urls.py", "migrations/__init__.py"} <= set(tree(demo))
    assert (workspace / "launcher.py").is_file() and (workspace / "apps.json").is_file()

    monkeypatch.syspath_prepend(str(workspace))
    namespace = {}
    exec((DEVKIT_FRAMEWORK / "cmd/file/__version__.py").read_text(), namespace)
    import demo as plugin
    try:
        assert plugin.version() == namespace["version"]()
    finally:
        import sys
        for module in [m for m in sys.modules if m.split(".")[0] == "demo"]:
            del sys.modules[module]


def test_written_files_use_the_default_encoding(workspace, framework, latin1_default, capsys, monkeypatch):
    (framework / "cmd/file/tarvikconf.ini").write_text("[mode]\nname = project\nlabel = Café\n")
    call(plugins, monkeypatch, capsys, "plugins", "pré")
    assert (workspace / "pré/__init__.py").read_bytes() == version_module("pré").encode("latin-1")
    assert (workspace / "pré/tarvikconf.ini").read_bytes() == "[mode]\nname = plugins\nlabel = Café\n\n".encode(
        "latin-1")


@pytest.mark.parametrize("template, content, error", [
    ("__version__.py", None, FileNotFoundError),
    ("tarvikconf.ini", "[other]\nname = x\n", configparser.NoSectionError),
])
def test_failures_reach_the_caller(workspace, framework, capsys, monkeypatch, template, content, error):
    path = framework / "cmd" / "file" / template
    path.unlink() if content is None else path.write_text(content)
    with pytest.raises(error):
        call(plugins, monkeypatch, capsys, "plugins", "demo")
    assert (workspace / "demo").is_dir()
