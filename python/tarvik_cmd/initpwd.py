"""Reset the administrator account's password to the initial password."""
from ._tarvik_cmd.admin import init_password

__all__ = ["init_password"]
