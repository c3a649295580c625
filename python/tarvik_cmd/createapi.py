"""Add an API app to the workspace's project, its sources rewritten to name it."""
from ._tarvik_cmd.scaffold import new_api, replace_example_in_file

__all__ = ["new_api", "replace_example_in_file"]
