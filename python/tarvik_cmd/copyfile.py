"""Recursive copy of a template tree."""
from ._tarvik_cmd.core import copy_files

__all__ = ["copy_files"]
