"""Django scenarios for the administration tests. Django sets up only once per
process, so each operation runs first thing in a child interpreter of its own,
on a real SQLite file chosen through TARVIK_DB_PATH."""
import base64
import hashlib
import json
import os
import shutil
import sqlite3
import subprocess
import sys

import pytest

MIGRATE_AND_SHOW_ENV = r"""
import os
from tarvik_cmd.migrate import migrate
migrate()
print("returned", os.environ["DJANGO_SETTINGS_MODULE"], repr(os.environ["RUN_MAIN"]))
"""

# Runs the named operation, then reports the user table and which of the given
# passwords let "admin" log in.
OPERATION = r"""
import json, sys
module, name = sys.argv[1].rsplit(".", 1)
try:
    getattr(__import__(module, fromlist=[name]), name)()
except Exception as e:
    sys.exit(print("RAISED", type(e).__name__, e))
from django.contrib.auth import authenticate, get_user_model
users = [dict(username=u.username, email=u.email, is_superuser=u.is_superuser,
              is_staff=u.is_staff, is_active=u.is_active) for u in get_user_model().objects.order_by("id")]
logins = {pw: authenticate(username="admin", password=pw) is not None for pw in sys.argv[2:]}
print("RESULT " + json.dumps({"users": users, "logins": logins}))
"""


def child_env(db, **extra):
    env = {k: v for k, v in os.environ.items() if k not in ("DJANGO_SETTINGS_MODULE", "RUN_MAIN")}
    return dict(env, TARVIK_DB_PATH=str(db), **extra)


def run_python(code, *args, env, cwd):
    run = subprocess.run([sys.executable, "-c", code, *args], env=env, cwd=cwd,
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    return run


def password_hash(password):
    """Django's PBKDF2 form, with few rounds to keep the tests quick."""
    digest = hashlib.pbkdf2_hmac("sha256", password.encode(), b"salt", 1000)
    return "pbkdf2_sha256$1000$salt$" + base64.b64encode(digest).decode()


def admin(password="secret", **fields):
    return dict(dict(username="admin", email="admin@tarvik.dev", is_superuser=False, is_staff=False,
                     is_active=True, first_name="", last_name="", date_joined="2024-01-01 00:00:00"),
                password=password_hash(password), **fields)


class Scenario:
    def __init__(self, db, cwd):
        self.db, self.cwd = db, cwd

    def seed(self, *users):
        with sqlite3.connect(self.db) as c:
            for u in users:
                c.execute(f"insert into auth_user ({','.join(u)}) values ({','.join('?' * len(u))})",
                          list(u.values()))

    def run(self, operation, *passwords, **env):
        """(lines printed by the operation, result or None when it raised)."""
        lines = run_python(OPERATION, operation, *passwords, env=child_env(self.db, **env),
                           cwd=self.cwd).stdout.splitlines()
        if lines and lines[-1].startswith("RESULT "):
            return lines[:-1], json.loads(lines[-1][len("RESULT "):])
        return lines, None


@pytest.fixture(scope="session")
def migrated(tmp_path_factory):
    """A database migrated once by the library's migrate(): (path, child run)."""
    where = tmp_path_factory.mktemp("migrated")
    return where / "db.sqlite3", run_python(MIGRATE_AND_SHOW_ENV, env=child_env(where / "db.sqlite3"), cwd=where)


@pytest.fixture
def scenario(migrated, tmp_path):
    shutil.copyfile(migrated[0], tmp_path / "db.sqlite3")
    return Scenario(tmp_path / "db.sqlite3", tmp_path)
