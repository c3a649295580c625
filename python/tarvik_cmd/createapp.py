"""Add an app to the workspace's project."""
from ._tarvik_cmd.scaffold import new_app

__all__ = ["new_app"]
