"""Minimal Django settings for the framework stand-in.

The database is SQLite: TARVIK_DB_PATH when set, else dbs/db.sqlite3 below
the current working directory (the workspace).
"""
import os
from pathlib import Path

WORKSPACE = Path.cwd()

SECRET_KEY = "tarvik-devkit-not-a-secret"
DEBUG = False
ALLOWED_HOSTS = ["127.0.0.1", "localhost"]

INSTALLED_APPS = [
    "django.contrib.auth",
    "django.contrib.contenttypes",
]

DATABASES = {
    "default": {
        "ENGINE": "django.db.backends.sqlite3",
        "NAME": os.environ.get("TARVIK_DB_PATH") or str(WORKSPACE / "dbs" / "db.sqlite3"),
    }
}

DEFAULT_AUTO_FIELD = "django.db.models.BigAutoField"
USE_TZ = True
TIME_ZONE = "UTC"
LANGUAGE_CODE = "en-us"
