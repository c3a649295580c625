"""Create a plugin package folder in the workspace."""
from ._tarvik_cmd.scaffold import plugins

__all__ = ["plugins"]
