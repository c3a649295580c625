"""Django scenarios for the administration tests. Django can be set up only
once per process, so every step runs in a child interpreter of its own, on a
real SQLite file chosen through TARVIK_DB_PATH."""
import json
import os
import shutil
import subprocess
import sys

import pytest

SETTINGS = "tarvik.server.server.settings"

SEED = r"""
import json, os, sys
os.environ["DJANGO_SETTINGS_MODULE"] = "tarvik.server.server.settings"
import django
django.setup()
from django.contrib.auth import get_user_model
for spec in json.loads(sys.argv[1]):
    password = spec.pop("password")
    user = get_user_model()(**spec)
    user.set_password(password)
    user.save()
"""

# Runs one operation first thing, in a fresh process, then reports the user
# table and which passwords let "admin" log in.
OPERATION = r"""
import json, sys
module, name = sys.argv[1].rsplit(".", 1)
try:
    getattr(__import__(module, fromlist=[name]), name)()
except Exception as e:
    print("RAISED", type(e).__name__, e)
    sys.exit(0)
from django.contrib.auth import authenticate, get_user_model
users = [dict(username=u.username, email=u.email, is_superuser=u.is_superuser,
              is_staff=u.is_staff, is_active=u.is_active)
         for u in get_user_model().objects.order_by("id")]
logins = {pw: authenticate(username="admin", password=pw) is not None for pw in sys.argv[2:]}
print("RESULT " + json.dumps({"users": users, "logins": logins}))
"""


MIGRATE_AND_SHOW_ENV = r"""
import os
from tarvik_cmd.migrate import migrate
migrate()
print("returned", os.environ["DJANGO_SETTINGS_MODULE"], repr(os.environ["RUN_MAIN"]))
"""


def child_env(db, **extra):
    env = dict(os.environ)
    for name in ("DJANGO_SETTINGS_MODULE", "RUN_MAIN"):
        env.pop(name, None)
    env["TARVIK_DB_PATH"] = str(db)
    env.update(extra)
    return env


def run_python(code, *args, env, cwd):
    run = subprocess.run([sys.executable, "-c", code, *map(str, args)], env=env, cwd=cwd,
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    return run


class Scenario:
    def __init__(self, db, cwd):
        self.db, self.cwd = db, cwd

    def seed(self, *users):
        run_python(SEED, json.dumps(list(users)), env=child_env(self.db, DJANGO_SETTINGS_MODULE=SETTINGS),
                   cwd=self.cwd)

    def run(self, operation, *passwords, **env):
        """(lines printed by the operation, result or None when it raised)."""
        out = run_python(OPERATION, operation, *passwords, env=child_env(self.db, **env), cwd=self.cwd).stdout
        lines = out.splitlines()
        if lines and lines[-1].startswith("RESULT "):
            return lines[:-1], json.loads(lines[-1][len("RESULT "):])
        return lines, None


@pytest.fixture(scope="session")
def migrated(tmp_path_factory):
    """A database migrated once by the library's migrate(): (path, child run)."""
    where = tmp_path_factory.mktemp("migrated")
    db = where / "db.sqlite3"
    run = run_python(MIGRATE_AND_SHOW_ENV, env=child_env(db), cwd=where)
    return db, run


@pytest.fixture
def scenario(migrated, tmp_path):
    db = tmp_path / "db.sqlite3"
    shutil.copyfile(migrated[0], db)
    return Scenario(db, tmp_path)


def admin(**fields):
    user = dict(username="admin", email="admin@tarvik.dev", password="secret",
                is_superuser=False, is_staff=False, is_active=True)
    user.update(fields)
    return user
