"""Discovered-apps generator.

main(workspace) scans workspace/ostervane for app packages (sub-folders that
hold an apps.py) and writes workspace/apps.json. The process arguments are
never read.
"""
import json
import sys
from pathlib import Path

PROJECT = "ostervane"


def discover(workspace):
    project = Path(workspace) / PROJECT
    apps = []
    if project.is_dir():
        for child in sorted(project.iterdir(), key=lambda p: p.name):
            if child.is_dir() and (child / "apps.py").is_file():
                apps.append(f"{PROJECT}.{child.name}")
    return apps


def main(workspace=None):
    workspace = Path(workspace) if workspace else Path.cwd()
    apps = discover(workspace)
    text = json.dumps({"apps": apps}, indent=2, ensure_ascii=False)
    (workspace / "apps.json").write_text(text, encoding="utf-8")
    return apps


if __name__ == "__main__":
    main(Path(__file__).resolve().parent)
    sys.exit(0)
