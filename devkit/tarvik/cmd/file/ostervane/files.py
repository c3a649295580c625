"""Locations of the application's runtime files."""
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
LOGS = ROOT / "logs"
DBS = ROOT / "dbs"


def ensure_runtime_dirs():
    for folder in (LOGS, DBS):
        folder.mkdir(exist_ok=True)
    return LOGS, DBS
