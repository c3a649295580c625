"""The package surface: the core modules load, and every operation module
ships a type stub that declares what the module exports."""
import ast
import importlib
from pathlib import Path

import pytest

import tarvik_cmd
from tarvik_cmd.baseurl import baseurl

PACKAGE = Path(tarvik_cmd.__file__).parent


def test_baseurl_is_the_local_development_server():
    assert baseurl() == "http://127.0.0.1:8000/"
    assert baseurl() == baseurl()


@pytest.mark.parametrize("module, names", [
    ("baseurl", ["baseurl"]), ("copyfile", ["copy_files"]), ("welcome", ["welcome"]), ("init", ["create_file"]),
])
def test_core_modules_export_their_operations(module, names):
    mod = importlib.import_module(f"tarvik_cmd.{module}")
    assert sorted(mod.__all__) == sorted(names)
    assert all(callable(getattr(mod, n)) for n in names)


def top_level_names(tree):
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.Assign):
            names |= {t.id for t in node.targets if isinstance(t, ast.Name)}
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.ImportFrom):
            names |= {a.asname or a.name for a in node.names}
    return names


def exported_names(tree):
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(getattr(t, "id", "") == "__all__" for t in node.targets):
            return set(ast.literal_eval(node.value))
    return set()


def test_every_operation_module_has_a_stub_naming_its_exports():
    assert (PACKAGE / "py.typed").exists()
    modules = [p for p in PACKAGE.glob("*.py") if p.name not in ("__init__.py", "setup.py")]
    assert modules
    for source in modules:
        stub = source.with_suffix(".pyi")
        assert stub.exists(), f"{source.name} has no stub"
        missing = exported_names(ast.parse(source.read_text())) - top_level_names(ast.parse(stub.read_text()))
        assert not missing, f"{stub.name} does not declare {sorted(missing)}"


def test_native_module_is_the_packages_own_or_the_developer_builds(tmp_path):
    import os
    import subprocess
    import sys

    from tarvik_cmd import _tarvik_cmd

    dev = os.environ.get("TARVIK_DEV_BUILD")
    expected = Path(dev).resolve() if dev else PACKAGE
    assert Path(_tarvik_cmd.__file__).parent == expected
    # A child process started by a test finds the same module.
    child = subprocess.run([sys.executable, "-c", "from tarvik_cmd import _tarvik_cmd; print(_tarvik_cmd.__file__)"],
                           capture_output=True, text=True, cwd=tmp_path, check=True)
    assert Path(child.stdout.strip()).parent == expected
