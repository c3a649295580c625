"""new_api and replace_example_in_file: the API skeleton's placeholders and
framework imports rewritten to name the new app."""
import pytest

from scaffold_fixtures import call, framework, project_apps_py, project_workspace, workspace  # noqa: F401
from tarvik_cmd.createapi import new_api, replace_example_in_file

# Skeleton sources (left) that exercise every rule, and what Shop makes of them.
SOURCES = {
    "filter.py": ("from tarvik.server.core import models\nclass ExampleFilter:  # example\n",
                  "from ostervane.Shop import models\nclass ShopFilter:  # shop\n"),
    "serializers.py": ("from tarvik.server.core import models\nclass ExampleSerializer:\n",
                       "from ostervane.Shop import models\nclass ShopSerializer:\n"),
    "models.py": ("from tarvik.server.core import models\nclass Example: table = 'example'\n",
                  "from tarvik.server.core import models\nclass Shop: table = 'shop'\n"),
    "urls.py": ("from tarvik.server.function import example\n"
                "urlpatterns = [path('example/', views.ExampleList)]\n"
                "A = (path, example)\nB = (path, Example)\nC = (path,example)\nD = (a, examples)\n",
                "from ostervane.Shop import views\n"
                "urlpatterns = [path('shop/', views.ShopList)]\n"
                "A = (path, views)\nB = (path, views)\nC = (path,shop)\nD = (a, viewss)\n"),
    "views.py": ("from tarvik.server.core import models, serializers, filter\n"
                 "from tarvik.server.core import models\nq = models.Example.objects  # example\n",
                 "from ostervane.Shop import models, serializers, filter\n"
                 "from tarvik.server.core import models\nq = models.Shop.objects  # shop\n"),
}


@pytest.fixture
def skeleton(framework):
    for name, (text, _) in SOURCES.items():
        (framework / "cmd" / "newapi" / name).write_text(text)
    return framework / "cmd" / "newapi"


@pytest.mark.parametrize("missing", [None, "filter.py"])
def test_shop_rewrites_every_source(project_workspace, skeleton, capsys, monkeypatch, missing):
    if missing:
        (skeleton / missing).unlink()
    assert call(new_api, monkeypatch, capsys, "createapi", "Shop") == "Create APP success Shop\n"
    app = project_workspace / "ostervane" / "Shop"
    for name, (_, expected) in SOURCES.items():
        if name == missing:
            assert not (app / name).exists()
        else:
            assert (app / name).read_text() == expected, name
    assert (app / "apps.py").read_text() == project_apps_py("Shop", "ostervane.Shop")


def test_typed_name_and_its_case_forms(project_workspace, skeleton, capsys, monkeypatch):
    call(new_api, monkeypatch, capsys, "createapi", "myShop")
    app = project_workspace / "ostervane" / "myShop"
    assert (app / "views.py").read_text().splitlines()[::2] == [
        "from ostervane.myShop import models, serializers, filter", "q = models.Myshop.objects  # myshop"]
    # ", Myshop" is neither the typed name nor its lower-case form.
    assert "B = (path, Myshop)" in (app / "urls.py").read_text()


def test_shipped_skeleton_is_fully_renamed(project_workspace, capsys, monkeypatch):
    call(new_api, monkeypatch, capsys, "createapi", "Shop")
    app = project_workspace / "ostervane" / "Shop"
    for name in ("filter.py", "models.py", "serializers.py", "urls.py", "views.py"):
        text = (app / name).read_text()
        assert "xample" not in text and "tarvik.server" not in text, name


def test_new_api_checks(project_workspace, capsys, monkeypatch):
    assert call(new_api, monkeypatch, capsys, "createapi") == "Please enter your app name\n"
    assert call(new_api, monkeypatch, capsys, "createapi", "tarvik").startswith("Invalid app name.")
    (project_workspace / "ostervane" / "Shop").mkdir()
    assert call(new_api, monkeypatch, capsys, "createapi", "Shop") == "App directory already exists\n"


def test_replace_skips_a_missing_file_and_refuses_non_utf8(tmp_path):
    replace_example_in_file(str(tmp_path / "absent.py"), "Shop", is_urls_file=True)
    assert list(tmp_path.iterdir()) == []
    path = tmp_path / "models.py"
    path.write_bytes(b"class Example: pass  # \xe9\n")
    with pytest.raises(UnicodeDecodeError):
        replace_example_in_file(str(path), "Shop")
    assert path.read_bytes() == b"class Example: pass  # \xe9\n"
