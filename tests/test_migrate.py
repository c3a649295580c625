"""migrate() on real SQLite files, and how all three administration
operations find their Django settings."""
import sqlite3

import pytest

from admin_fixtures import MIGRATE_AND_SHOW_ENV, Scenario, child_env, migrated, run_python  # noqa: F401

OWN_SETTINGS = '''
SECRET_KEY = "test"
INSTALLED_APPS = ["django.contrib.auth", "django.contrib.contenttypes"]
DATABASES = {"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": "own.sqlite3"}}
DEFAULT_AUTO_FIELD = "django.db.models.AutoField"
PASSWORD_HASHERS = ["django.contrib.auth.hashers.MD5PasswordHasher"]
'''


def tables(db):
    with sqlite3.connect(db) as c:
        return {row[0] for row in c.execute("select name from sqlite_master where type='table'")}


def test_migrate_on_a_fresh_database_sets_the_defaults(migrated):
    db, run = migrated
    assert "Applying auth.0001_initial... OK" in run.stdout
    assert run.stdout.endswith("returned tarvik.server.server.settings 'true'\n")
    assert {"auth_user", "django_migrations"} <= tables(db)


def test_migrate_twice_applies_nothing_new(migrated, tmp_path):
    db = tmp_path / "again.sqlite3"
    db.write_bytes(migrated[0].read_bytes())
    run = run_python(MIGRATE_AND_SHOW_ENV, env=child_env(db), cwd=tmp_path)
    assert "No migrations to apply." in run.stdout


def test_a_migration_failure_is_printed_not_raised(tmp_path):
    db = tmp_path / "missing-dir" / "db.sqlite3"
    run = run_python(MIGRATE_AND_SHOW_ENV, env=child_env(db, RUN_MAIN=""), cwd=tmp_path)
    assert run.stdout.splitlines() == [
        "Error during migration: unable to open database file",
        # an existing value, even an empty one, is left alone
        "returned tarvik.server.server.settings ''",
    ]


def test_a_settings_module_already_chosen_is_used(tmp_path):
    (tmp_path / "own_settings.py").write_text(OWN_SETTINGS)
    code = MIGRATE_AND_SHOW_ENV + (
        "from tarvik_cmd.initadmin import init_admin\n"
        "init_admin()\n"
        "from django.contrib.auth import authenticate\n"
        "print(authenticate(username='admin', password='lumen').password.startswith('md5$'))\n")
    unused = tmp_path / "framework.sqlite3"
    # the working directory (where own_settings.py lies) is on the child's path
    run = run_python(code, env=child_env(unused, DJANGO_SETTINGS_MODULE="own_settings"), cwd=tmp_path)
    assert run.stdout.splitlines()[-3:] == [
        "returned own_settings 'true'",
        "Created admin account: admin(admin@tarvik.dev), initial password: lumen, "
        "just use it temporarily and change the password for safety",
        "True",
    ]
    assert "auth_user" in tables(tmp_path / "own.sqlite3")
    assert not unused.exists()


@pytest.mark.parametrize("operation", ["tarvik_cmd.migrate.migrate", "tarvik_cmd.initadmin.init_admin",
                                       "tarvik_cmd.initpwd.init_password"])
def test_a_settings_module_that_cannot_load_is_raised(tmp_path, operation):
    lines, _ = Scenario(tmp_path / "db.sqlite3", tmp_path).run(
        operation, DJANGO_SETTINGS_MODULE="no_such_settings_module")
    assert lines == ["RAISED ModuleNotFoundError No module named 'no_such_settings_module'"]
