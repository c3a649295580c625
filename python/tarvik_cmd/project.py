"""Create a project package folder in the workspace."""
from ._tarvik_cmd.scaffold import project

__all__ = ["project"]
