"""Workspace initialisation."""
from ._tarvik_cmd.core import enable_console_colours as _enable_console_colours
from ._tarvik_cmd.workspace import create_file

# Colour sequences need virtual-terminal processing in a Windows console.
_enable_console_colours()

__all__ = ["create_file"]
