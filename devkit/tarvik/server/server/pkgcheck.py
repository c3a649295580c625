"""Checks the marketplace uses to tell framework packages from ordinary ones."""
import os
from importlib import metadata
from pathlib import Path

_IGNORED_PACKAGES = {"tarvik", "tarvik_cmd", "tarvik_token", "django", "pip", "setuptools"}
_IGNORED_DIRS = {"logs", "dbs", "build", "__pycache__", ".git", ".github", "templates"}


def ignore_pkg(name):
    """True for distributions that are never marketplace packages."""
    return name.lower() in _IGNORED_PACKAGES


def ignore_cwd(name):
    """True for workspace folders that are never packages."""
    return name in _IGNORED_DIRS or name.startswith(".")


def pkg_check(name):
    """True when an installed distribution of that name exists and is not ignored."""
    if ignore_pkg(name):
        return False
    try:
        metadata.distribution(name)
    except metadata.PackageNotFoundError:
        return False
    return True


def cwd_check(name, workspace=None):
    """True when the workspace holds a package folder of that name with a tarvikconf.ini."""
    if ignore_cwd(name):
        return False
    folder = Path(workspace or os.getcwd()) / name
    return (folder / "__init__.py").is_file() and (folder / "tarvikconf.ini").is_file()
