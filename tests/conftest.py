"""Test set-up: the stand-in framework packages under devkit/ are put on the
import path (and on PYTHONPATH for child processes). With TARVIK_DEV_BUILD set
to a build directory, the package sources in python/ are used instead of the
installed package, and the package takes its native module from that build
(python/tarvik_cmd/__init__.py)."""
import os
import signal
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DEVKIT = ROOT / "devkit"

_paths = [str(DEVKIT)]
_dev = os.environ.get("TARVIK_DEV_BUILD")
if _dev:
    # Absolute, so that child processes started in other folders find it too.
    os.environ["TARVIK_DEV_BUILD"] = str(Path(_dev).resolve())
    _paths = [str(ROOT / "python")] + _paths
for _p in reversed(_paths):
    if _p not in sys.path:
        sys.path.insert(0, _p)
_old = os.environ.get("PYTHONPATH")
os.environ["PYTHONPATH"] = os.pathsep.join(_paths + ([_old] if _old else []))

# A run started in the background of a non-interactive shell inherits an
# ignored SIGINT, and an ignored signal stays ignored in every child: the child
# interpreters that the Ctrl-C tests interrupt would never see KeyboardInterrupt.
# A handler of this process is reset to the default in its children.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
