"""build() end to end with the compiler and token stand-ins, and its steps
on their own: discovered_apps, the compiler run, the final folder."""
import json
import os
import sys

import pytest

from build_fixtures import build_env, builder_lines, make_workspace, workspace  # noqa: F401
from tarvik_cmd import build as b

FOLDER = "Shop-1.2.0-Linux"
MANIFEST = "manifest--Shop-linux-x64.json"


def run_build(capsys):
    try:
        b.build()
        error = None
    except Exception as e:  # noqa: BLE001 - the test looks at it
        error = e
    return error, capsys.readouterr().out


class TestSuccessfulBuild:
    def test_output_layout_lines_and_environment(self, workspace, build_env, capsys, tmp_path):
        report = tmp_path / "report.json"
        build_env.setenv("TARVIK_TOKEN_KEY", "tok-\u00e9-key")
        build_env.setenv("TARVIK_FAKE_COMPILER_REPORT", str(report))
        error, out = run_build(capsys)
        assert error is None, out

        lines = builder_lines(out)
        assert lines[:4] == ["[builder] app: Shop  version: 1.2.0", "[builder] apps.json generated",
                             "[builder] platform: Linux (linux/x64)", lines[3]]
        assert lines[3].startswith("[builder] Tarvik args: Shop.py --mode=standalone ")
        assert lines[4:] == [
            f"[builder] renamed: build/Shop.dist -> build/{FOLDER}",
            f"[builder] generated build/{FOLDER}/{MANIFEST}: 10 files",
            f"[builder] copied to build/{MANIFEST}",
            f"[builder] build.json: build/{FOLDER}/build.json",
            "[builder] build complete!",
            f"[builder] output dir: build/{FOLDER}",
            f"[builder] manifest: build/{MANIFEST}",
            lines[-1],
        ]
        assert lines[-1].startswith("[builder] total build time: ") and lines[-1].endswith(" sec")
        assert out.endswith("\n[builder] manifest: build/" + MANIFEST + "\n\n" + lines[-1] + "\n")
        assert "\n\n[builder] build complete!\n" in out

        # Compiler output sits between the argument line and the rename, renamed.
        compiler = out.split(lines[3] + "\n")[1].split(lines[4])[0]
        assert "Tarvik: Starting Python compilation with Tarvik" in compiler
        assert "Tarvik-Options:WARNING: Set TARVIK_CACHE_DIR" in compiler
        assert "Nuitka" not in compiler and "NUITKA" not in compiler
        assert "/nuitka" in compiler  # lower case (a module path) is left alone
        assert "Tarvik-Progress: 50%\nTarvik-Progress: 100%\n" in compiler

        dist = workspace / "build" / FOLDER
        assert (dist / "build.json").read_bytes() == '{\n  "COMMUNITY_KEY": "tok-\u00e9-key"\n}'.encode()
        assert (workspace / "build" / MANIFEST).read_bytes() == (dist / MANIFEST).read_bytes()
        files = json.loads((dist / MANIFEST).read_text(encoding="utf-8"))["files"]
        assert "build.json" not in files and "Shop" in files and "ostervane/task.py" in files
        assert not (workspace / "build" / "Shop.dist").exists()
        assert not (workspace / "Shop.py").exists()
        assert (dist / "Shop").stat().st_mode & 0o111

        # The compiler got args[1:] as separate arguments and the build's environment.
        ws = os.getcwd()
        seen = json.loads(report.read_text(encoding="utf-8"))
        assert seen["cwd"] == ws
        assert seen["argv"] == b.build_compiler_args("Shop", "1.2.0", "linux", "--linux-icon=logo.png", {})[1:]
        expected_env = {"PYTHONPATH": f"{ws}:{ws}/tarvik", "DJANGO_SETTINGS_MODULE": "tarvik.server.server.settings",
                        "RUN_MAIN": "true", "PYTHONIOENCODING": "utf-8"}
        assert seen["env"] == expected_env
        # ... and the variables stay set in this process.
        assert {k: os.environ.get(k) for k in expected_env} == expected_env
        assert sys.path[0] == ws

        apps = json.loads((workspace / "apps.json").read_text(encoding="utf-8"))
        assert apps["argv"] == ["front-end"] and apps["workspace"] == ws
        assert sys.argv == ["front-end", "build", "extra"]

    def test_built_executable_runs_the_launcher(self, workspace, build_env, capsys):
        error, out = run_build(capsys)
        assert error is None, out
        import subprocess
        exe = workspace / "build" / FOLDER / "Shop"
        done = subprocess.run([str(exe)], capture_output=True, text=True, timeout=60, cwd="/")
        assert done.returncode == 0, done.stderr
        assert done.stdout == "Shop 1.2.0\n"

    def test_leftover_folder_is_replaced_and_node_modules_stripped(self, workspace, build_env, capsys, tmp_path):
        stale = workspace / "build" / FOLDER
        (stale / "old").mkdir(parents=True)
        (stale / "old" / "stale.txt").write_text("old", encoding="utf-8")
        extra = tmp_path / "extra"
        (extra / "web" / "node_modules" / "pkg" / "node_modules" / "deep").mkdir(parents=True)
        (extra / "web" / "node_modules" / "pkg" / "node_modules" / "deep" / "x.js").write_text("x")
        (extra / "node_modules").mkdir()
        (extra / "node_modules" / "y.js").write_text("y")
        (extra / "web" / "index.html").write_text("<html>")
        (extra / "web" / "node_modules_notes.txt").write_text("kept")
        build_env.setenv("TARVIK_FAKE_COMPILER_EXTRA", str(extra))
        error, out = run_build(capsys)
        assert error is None, out
        removed = [line for line in builder_lines(out) if line.startswith("[builder] removed: ")]
        assert sorted(removed) == [f"[builder] removed: build/{FOLDER}/node_modules",
                                   f"[builder] removed: build/{FOLDER}/web/node_modules"]
        dist = workspace / "build" / FOLDER
        assert not (dist / "old").exists()
        assert not (dist / "web" / "node_modules").exists() and not (dist / "node_modules").exists()
        files = json.loads((dist / MANIFEST).read_text(encoding="utf-8"))["files"]
        assert "web/index.html" in files and "web/node_modules_notes.txt" in files
        assert not any("old/" in k for k in files)

    def test_environment_name_and_version_override_launcher(self, workspace, build_env, capsys):
        (workspace / "launcher.py").write_text("print('no metadata here')\n", encoding="utf-8")
        build_env.setenv("APP_NAME", "Store")
        build_env.setenv("BASE_VERSION", "9.0")
        error, out = run_build(capsys)
        assert error is None, out
        assert "[builder] app: Store  version: 9.0" in builder_lines(out)
        assert (workspace / "build" / "Store-9.0-Linux" / "manifest--Store-linux-x64.json").is_file()
        assert (workspace / "build" / "Store-9.0-Linux" / "Store").is_file()

    @pytest.mark.parametrize("name, version", [("Store", None), ("Store", ""), (None, "9.0")])
    def test_one_override_alone_is_ignored(self, workspace, build_env, capsys, name, version):
        if name is not None:
            build_env.setenv("APP_NAME", name)
        if version is not None:
            build_env.setenv("BASE_VERSION", version)
        error, out = run_build(capsys)
        assert error is None, out
        assert "[builder] app: Shop  version: 1.2.0" in builder_lines(out)


class TestCommunityKey:
    @pytest.mark.parametrize("var, value", [("GITHUB_ACTIONS", "true"), ("GITEE_PIPELINE_NAME", "p"),
                                            ("GITEE_REPO", "org/repo")])
    def test_ci_takes_the_key_from_the_environment(self, workspace, build_env, capsys, var, value):
        build_env.setenv(var, value)
        build_env.setenv("COMMUNITY_KEY", "ci-key")
        build_env.setenv("TARVIK_TOKEN_KEY", "token-key")
        error, out = run_build(capsys)
        assert error is None, out
        info = json.loads((workspace / "build" / FOLDER / "build.json").read_text(encoding="utf-8"))
        assert info == {"COMMUNITY_KEY": "ci-key"}

    @pytest.mark.parametrize("value", ["True", "1", "yes"])
    def test_other_github_values_are_not_ci(self, workspace, build_env, capsys, value):
        build_env.setenv("GITHUB_ACTIONS", value)
        build_env.setenv("GITEE_REPO", "")
        build_env.setenv("COMMUNITY_KEY", "ci-key")
        build_env.setenv("TARVIK_TOKEN_KEY", "token-key")
        error, out = run_build(capsys)
        assert error is None, out
        info = json.loads((workspace / "build" / FOLDER / "build.json").read_text(encoding="utf-8"))
        assert info == {"COMMUNITY_KEY": "token-key"}

    def test_ci_without_key_stops_before_anything_else(self, workspace, build_env, capsys):
        build_env.setenv("GITEE_REPO", "org/repo")
        build_env.setenv("COMMUNITY_KEY", "")
        error, out = run_build(capsys)
        lines = builder_lines(out)
        assert isinstance(error, RuntimeError)
        assert str(error) == lines[0]
        assert lines[0].startswith("[builder] ") and "COMMUNITY_KEY" in lines[0]
        assert len(lines) == 2 and lines[1].startswith("[builder] total build time: ")
        assert not (workspace / "build").exists() and not (workspace / "apps.json").exists()

    def test_token_component_failure_passes_on(self, workspace, build_env, capsys, tmp_path):
        fake = tmp_path / "fake_token"
        (fake / "tarvik_token").mkdir(parents=True)
        (fake / "tarvik_token" / "__init__.py").write_text(
            "def encrypt_info():\n    raise PermissionError('token store locked')\n")
        build_env.syspath_prepend(str(fake))
        build_env.delitem(sys.modules, "tarvik_token", raising=False)
        error, out = run_build(capsys)
        assert isinstance(error, PermissionError) and str(error) == "token store locked"
        assert builder_lines(out)[-1].startswith("[builder] total build time: ")


class TestFailures:
    @pytest.mark.parametrize("env, code", [("TARVIK_FAKE_COMPILER_EXIT", 1), ("TARVIK_FAKE_COMPILER_SIGNAL", 9)])
    def test_compiler_failure_keeps_main_script(self, workspace, build_env, capsys, env, code):
        build_env.setenv(env, str(abs(code)))
        error, out = run_build(capsys)
        expected_code = code if env.endswith("EXIT") else -code
        assert isinstance(error, RuntimeError)
        assert str(error) == f"Tarvik compilation failed, exit code: {expected_code}"
        lines = builder_lines(out)
        assert lines[-1].startswith("[builder] total build time: ")
        assert lines[-2].startswith("[builder] Tarvik args: ")
        assert (workspace / "Shop.py").read_bytes() == (workspace / "launcher.py").read_bytes()
        assert not (workspace / "build" / FOLDER).exists()

    def test_missing_compiler_output_fails_in_the_manifest_step(self, workspace, build_env, capsys):
        build_env.setenv("TARVIK_FAKE_COMPILER_NO_OUTPUT", "1")
        error, out = run_build(capsys)
        assert isinstance(error, FileNotFoundError)
        assert str(error) == f"Build output directory does not exist: build/{FOLDER}"
        assert "[builder] warning: neither build/Shop.dist nor .app bundle exists" in builder_lines(out)

    def test_launcher_missing_with_overrides_fails_at_the_copy(self, workspace, build_env, capsys):
        (workspace / "launcher.py").unlink()
        build_env.setenv("APP_NAME", "Shop")
        build_env.setenv("BASE_VERSION", "1.2.0")
        error, out = run_build(capsys)
        assert isinstance(error, FileNotFoundError)
        assert "[builder] platform: Linux (linux/x64)" in builder_lines(out)
        assert not (workspace / "build").exists()

    def test_app_named_launcher_is_refused(self, workspace, build_env, capsys):
        (workspace / "launcher.py").write_text('app_name = "launcher"\nversion = "1"\n', encoding="utf-8")
        error, out = run_build(capsys)
        assert isinstance(error, OSError) and "same file" in str(error)
        assert (workspace / "launcher.py").read_text(encoding="utf-8").startswith('app_name = "launcher"')

    @pytest.mark.parametrize("name, version", [("../victim", "1"), ("Shop", "1/../../victim"), ("..", "x")])
    def test_names_that_leave_build_are_refused(self, workspace, build_env, capsys, name, version):
        victim = workspace.parent / "victim-1-Linux"
        victim.mkdir()
        build_env.setenv("APP_NAME", name)
        build_env.setenv("BASE_VERSION", version)
        error, out = run_build(capsys)
        assert isinstance(error, ValueError)
        assert victim.is_dir() and not (workspace / "build").exists()

    def test_discovered_apps_failure_restores_argv(self, workspace, build_env, capsys):
        build_env.setenv("DISCOVERED_APPS_FAIL", "1")
        error, out = run_build(capsys)
        assert isinstance(error, RuntimeError) and str(error) == "discovery failed"
        assert sys.argv == ["front-end", "build", "extra"]
        assert builder_lines(out)[-1].startswith("[builder] total build time: ")


class TestSteps:
    def test_generate_apps_json_runs_the_current_workspace_script(self, tmp_path, build_env, capsys):
        first = make_workspace(tmp_path / "one", marker="one")
        second = make_workspace(tmp_path / "two", marker="two")
        build_env.chdir(first)
        b.generate_apps_json()
        build_env.chdir(second)
        b.generate_apps_json()
        assert json.loads((second / "apps.json").read_text())["marker"] == "two"
        assert sys.path[:2] == [str(second), str(first)]
        assert capsys.readouterr().out == "[builder] apps.json generated\n" * 2

    def test_generate_apps_json_without_script_fails(self, tmp_path, build_env):
        build_env.chdir(tmp_path)
        with pytest.raises(ModuleNotFoundError):
            b.generate_apps_json()
        assert sys.argv == ["front-end", "build", "extra"]

    def test_run_compiler_decodes_and_renames_every_line(self, workspace, build_env, capsys, tmp_path):
        echo = tmp_path / "echo.bin"
        echo.write_bytes(b"bad \xff byte Nuitka Nuitka\r\nNUITKA nuitka NuItKa\rtail without end")
        build_env.setenv("TARVIK_FAKE_COMPILER_ECHO", str(echo))
        build_env.setenv("TARVIK_FAKE_COMPILER_NO_OUTPUT", "1")
        (workspace / "Shop.py").write_text("print(1)\n")
        b.run_compiler(["ignored label", "Shop.py", "--output-dir=build"])
        out = capsys.readouterr().out
        assert out.startswith("[builder] Tarvik args: Shop.py --output-dir=build\n")
        assert "bad \ufffd byte Tarvik Tarvik\nTARVIK nuitka NuItKa\ntail without end" in out

    def test_run_compiler_cannot_start(self, workspace, build_env, tmp_path):
        build_env.setattr(sys, "executable", str(tmp_path / "no-such-python"))
        with pytest.raises(FileNotFoundError):
            b.run_compiler(["Tarvik", "Shop.py"])

    def test_rename_moves_an_app_bundle(self, tmp_path, build_env, capsys):
        build_env.chdir(tmp_path)
        (tmp_path / "build" / "Shop.app" / "Contents" / "MacOS").mkdir(parents=True)
        b.rename_dist_folder("Shop", "Shop-1-macOS")
        assert (tmp_path / "build" / "Shop-1-macOS" / "Contents" / "MacOS").is_dir()
        assert capsys.readouterr().out == "[builder] renamed (.app): build/Shop.app -> build/Shop-1-macOS\n"

    def test_rename_never_follows_a_node_modules_link(self, tmp_path, build_env, capsys):
        build_env.chdir(tmp_path)
        outside = tmp_path / "outside"
        outside.mkdir()
        (outside / "keep.txt").write_text("keep")
        (tmp_path / "build" / "Shop.dist" / "web").mkdir(parents=True)
        (tmp_path / "build" / "Shop.dist" / "web" / "node_modules").symlink_to(outside)
        b.rename_dist_folder("Shop", "Shop-1-Linux")
        assert (outside / "keep.txt").read_text() == "keep"
        assert not os.path.lexists(tmp_path / "build" / "Shop-1-Linux" / "web" / "node_modules")
        assert "[builder] removed: build/Shop-1-Linux/web/node_modules" in capsys.readouterr().out
