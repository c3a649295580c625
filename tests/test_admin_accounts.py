"""init_admin and init_password against a real Django project on SQLite,
followed by real logins."""
import pytest

from admin_fixtures import Scenario, admin, migrated, scenario  # noqa: F401  (fixtures)

TAIL = ", just use it temporarily and change the password for safety"
CREATED = "Created admin account: admin(admin@tarvik.dev), initial password: lumen" + TAIL
RESET = "Reset admin account: admin(admin@tarvik.dev), initial password: lumen" + TAIL
PASSWORD_RESET = "Reset admin account: admin, initial password: lumen" + TAIL
SUPERUSER = dict(username="admin", email="admin@tarvik.dev", is_superuser=True, is_staff=True, is_active=True)


def test_init_admin_creates_the_superuser_on_an_empty_table(scenario):
    lines, result = scenario.run("tarvik_cmd.initadmin.init_admin", "lumen")
    assert lines == [CREATED]
    assert result == {"users": [SUPERUSER], "logins": {"lumen": True}}


def test_init_admin_promotes_and_resets_the_admin_with_the_admin_email(scenario):
    scenario.seed(admin(is_active=False), dict(admin(username="other", email="o@x.dev")))
    lines, result = scenario.run("tarvik_cmd.initadmin.init_admin", "lumen", "secret")
    assert lines == [RESET]
    assert result["users"][0] == SUPERUSER
    assert result["users"][1]["username"] == "other"
    assert result["logins"] == {"lumen": True, "secret": False}


def test_init_admin_leaves_an_existing_superuser_alone(scenario):
    scenario.seed(admin(is_superuser=True, is_staff=False, email="boss@x.dev"))
    lines, result = scenario.run("tarvik_cmd.initadmin.init_admin", "lumen", "secret")
    assert lines == ["Admin user already exists, you can use admin to login:"]
    assert result["users"] == [dict(SUPERUSER, is_staff=False, email="boss@x.dev")]
    assert result["logins"] == {"lumen": False, "secret": True}


def test_init_admin_raises_when_the_admin_name_is_taken_by_another_email(scenario):
    # update_or_create finds no row with both values; the new row collides
    # with the unique user name.
    scenario.seed(admin(email="someone@else.dev"))
    lines, result = scenario.run("tarvik_cmd.initadmin.init_admin")
    assert len(lines) == 1 and lines[0].startswith("RAISED IntegrityError")


def test_init_admin_on_a_database_without_tables_raises(tmp_path):
    lines, result = Scenario(tmp_path / "empty.sqlite3", tmp_path).run("tarvik_cmd.initadmin.init_admin")
    assert lines == ["RAISED OperationalError no such table: auth_user"]


def test_init_password_resets_only_the_password_of_the_superuser(scenario):
    scenario.seed(admin(is_superuser=True, is_staff=False, email="boss@x.dev"))
    lines, result = scenario.run("tarvik_cmd.initpwd.init_password", "lumen", "secret")
    assert lines == [PASSWORD_RESET]
    assert result["users"] == [dict(SUPERUSER, is_staff=False, email="boss@x.dev")]
    assert result["logins"] == {"lumen": True, "secret": False}


@pytest.mark.parametrize("seeded", [[], [admin()]], ids=["no admin", "admin not a superuser"])
def test_init_password_needs_a_superuser_admin(scenario, seeded):
    scenario.seed(*seeded)
    lines, result = scenario.run("tarvik_cmd.initpwd.init_password", "lumen", "secret")
    assert lines == ["Please init one admin first"]
    assert result["logins"] == {"lumen": False, "secret": bool(seeded)}
