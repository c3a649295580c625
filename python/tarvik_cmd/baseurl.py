"""Base URL of the update server."""
from ._tarvik_cmd.core import baseurl

__all__ = ["baseurl"]
