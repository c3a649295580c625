"""Test set-up: the stand-in framework packages under devkit/ are put on the
import path (and on PYTHONPATH for child processes). With TARVIK_DEV_BUILD set
to a build directory, that build's native module and the package sources in
python/ are used instead of the installed package."""
import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DEVKIT = ROOT / "devkit"

_paths = [str(DEVKIT)]
_dev = os.environ.get("TARVIK_DEV_BUILD")
if _dev:
    _paths = [str(Path(_dev).resolve()), str(ROOT / "python")] + _paths
for _p in reversed(_paths):
    if _p not in sys.path:
        sys.path.insert(0, _p)
_old = os.environ.get("PYTHONPATH")
os.environ["PYTHONPATH"] = os.pathsep.join(_paths + ([_old] if _old else []))
