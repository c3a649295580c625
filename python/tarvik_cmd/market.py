"""Copy an installed project package into the workspace."""
from ._tarvik_cmd.scaffold import copy_project

__all__ = ["copy_project"]
