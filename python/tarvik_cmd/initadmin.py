"""Create the administrator account of the framework's server project."""
from ._tarvik_cmd.admin import init_admin

__all__ = ["init_admin"]
