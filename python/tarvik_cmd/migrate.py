"""Apply the database migrations of the framework's server project."""
from ._tarvik_cmd.admin import migrate

__all__ = ["migrate"]
