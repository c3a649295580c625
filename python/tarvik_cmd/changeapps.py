"""Generated apps.py of apps and plugins, and the discovered-apps refresh."""
from ._tarvik_cmd.scaffold import create_plugins_apps_py, create_project_apps_py

__all__ = ["create_project_apps_py", "create_plugins_apps_py"]
