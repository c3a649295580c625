"""init_admin and init_password against a real Django project on SQLite,
followed by real logins."""
import pytest

from admin_fixtures import Scenario, admin, migrated, scenario  # noqa: F401  (fixtures)

TAIL = ", just use it temporarily and change the password for safety"
SUPERUSER = dict(username="admin", email="admin@tarvik.dev", is_superuser=True, is_staff=True, is_active=True)
BOSS = dict(SUPERUSER, is_staff=False, email="boss@x.dev")
OTHER = dict(username="other", email="o@x.dev", is_superuser=False, is_staff=False, is_active=True)


@pytest.mark.parametrize("seeded, line, users, logins", [
    ([], "Created admin account: admin(admin@tarvik.dev), initial password: lumen" + TAIL,
     [SUPERUSER], {"lumen": True, "secret": False}),
    # the non-superuser "admin" with the administrator e-mail is found and promoted
    ([admin(is_active=False), admin(username="other", email="o@x.dev")],
     "Reset admin account: admin(admin@tarvik.dev), initial password: lumen" + TAIL,
     [SUPERUSER, OTHER], {"lumen": True, "secret": False}),
    # an existing superuser "admin" is not touched at all
    ([admin(is_superuser=True, email="boss@x.dev")], "Admin user already exists, you can use admin to login:",
     [BOSS], {"lumen": False, "secret": True}),
], ids=["created", "reset", "exists"])
def test_init_admin(scenario, seeded, line, users, logins):
    scenario.seed(*seeded)
    lines, result = scenario.run("tarvik_cmd.initadmin.init_admin", "lumen", "secret")
    assert lines == [line]
    assert result == {"users": users, "logins": logins}


def test_init_admin_failures_propagate_without_output(scenario, tmp_path):
    # "admin" with another e-mail: update_or_create finds no row with both
    # values, and the new row collides with the unique user name.
    scenario.seed(admin(email="someone@else.dev"))
    lines, _ = scenario.run("tarvik_cmd.initadmin.init_admin")
    assert len(lines) == 1 and lines[0].startswith("RAISED IntegrityError")
    lines, _ = Scenario(tmp_path / "empty.sqlite3", tmp_path).run("tarvik_cmd.initadmin.init_admin")
    assert lines == ["RAISED OperationalError no such table: auth_user"]


@pytest.mark.parametrize("seeded, line, users, logins", [
    # only the password changes
    ([admin(is_superuser=True, email="boss@x.dev")], "Reset admin account: admin, initial password: lumen" + TAIL,
     [BOSS], {"lumen": True, "secret": False}),
    ([], "Please init one admin first", [], {"lumen": False, "secret": False}),
    ([admin()], "Please init one admin first",
     [dict(SUPERUSER, is_superuser=False, is_staff=False)], {"lumen": False, "secret": True}),
], ids=["reset", "no admin", "admin not a superuser"])
def test_init_password(scenario, seeded, line, users, logins):
    scenario.seed(*seeded)
    lines, result = scenario.run("tarvik_cmd.initpwd.init_password", "lumen", "secret")
    assert lines == [line]
    assert result == {"users": users, "logins": logins}
