"""The layering of the C++ sources: src/core is shared by every subsystem and
includes none of them; only src/python reaches Python (its headers and
nanobind's)."""
import re
from pathlib import Path

SRC = Path(__file__).resolve().parents[1] / "src"
SUBSYSTEMS = ("scaffold", "build", "publish", "update", "admin", "python")
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.M)


def includes(folder):
    for path in sorted((SRC / folder).rglob("*")):
        if path.suffix in (".cpp", ".hpp", ".h"):
            for name in INCLUDE.findall(path.read_text(encoding="utf-8")):
                yield path.relative_to(SRC), name


def test_core_includes_no_subsystem():
    wrong = [f"{path}: {name}" for path, name in includes("core") if name.split("/")[0] in SUBSYSTEMS]
    assert not wrong, "src/core includes a subsystem:\n" + "\n".join(wrong)


def test_only_the_binding_layer_includes_python_or_nanobind_headers():
    def reaches_python(name):
        return name.startswith("nanobind/") or name in ("Python.h", "pybind11/pybind11.h") or name.startswith("python/")

    wrong = [f"{path}: {name}" for folder in SUBSYSTEMS[:-1] + ("core",)
             for path, name in includes(folder) if reaches_python(name)]
    assert not wrong, "Python reached outside src/python:\n" + "\n".join(wrong)
