"""Build configuration: builder.toml, launcher.py metadata, platform labels
and the compiler argument list."""
import datetime
import os

import pytest

from build_fixtures import build_env  # noqa: F401  (fixture)
from tarvik_cmd import build as b

JOBS = max(1, (os.cpu_count() or 4) - 1)

PACKAGES = ["tarvik", "django", "fastapi", "flask", "orjson", "uvicorn", "pandas", "openpyxl", "watchdog",
            "tomlkit", "psutil", "xlsxwriter", "requests", "httptools", "aiofiles", "starlette", "tarvik_asgi",
            "tarvik_message", "tarvik_token", "django_filters", "rest_framework", "rest_framework_csv",
            "django_apscheduler", "corsheaders", "ostervane", "PIL"]

LINUX_ARGS = [
    "Tarvik",
    "Shop.py",
    "--mode=standalone",
    "--assume-yes-for-downloads",
    "--show-progress",
    "--lto=yes",
    f"--jobs={JOBS}",
    "--company-name=Tarvik",
    "--product-name=Shop",
    "--file-description=No-environment delivery tool for Python apps Compile to binary "
    "\u00b7 Cross-platform \u00b7 Incremental updates \u00b7 Source code protection",
    "--file-version=1.2.0",
    "--product-version=1.2.0",
    None,  # copyright, checked on its own
    "--linux-icon=logo.png",
    "--enable-plugin=tk-inter",
    "--module-parameter=django-settings-module=tarvik.server.server.settings",
    "--output-dir=build",
    *[arg for p in PACKAGES for arg in (f"--include-package={p}", f"--include-package-data={p}")],
    "--include-module=django.core.management",
    "--include-module=tarvik_cmd",
    "--nofollow-import-to=pandas.tests",
    "--nofollow-import-to=django.test",
    "--nofollow-import-to=rest_framework.tests",
    "--nofollow-import-to=IPython",
    "--nofollow-import-to=pytest",
    "--nofollow-import-to=unittest",
    "--nofollow-import-to=node_modules",
    "--include-data-file=.gitignore=.gitignore",
    "--include-data-file=setup.ini=setup.ini",
    "--include-data-file=splash.png=splash.png",
    "--include-data-file=apps.json=apps.json",
    "--include-data-file=ostervane/server.py=ostervane/server.py",
    "--include-data-file=ostervane/receiver.py=ostervane/receiver.py",
    "--include-data-file=ostervane/files.py=ostervane/files.py",
    "--include-data-file=ostervane/task.py=ostervane/task.py",
]


def linux_args(config):
    return b.build_compiler_args("Shop", "1.2.0", "linux", "--linux-icon=logo.png", config)


def test_linux_argument_list_is_exact():
    args = linux_args({})
    assert len(args) == 86
    copyright_arg = args[12]
    assert copyright_arg.startswith("--copyright=") and "2020" in copyright_arg
    assert copyright_arg.endswith(" Shop")
    args[12] = None
    assert args == LINUX_ARGS


def test_system_specific_options_follow_the_fixed_part():
    win = b.build_compiler_args("Shop", "1.2.0", "windows", "--windows-icon-from-ico=logo.ico", {})
    assert len(win) == 87
    assert win[13] == "--windows-icon-from-ico=logo.ico"
    assert win[17] == "--windows-console-mode=disable"
    assert win[18] == "--include-package=tarvik"
    mac = b.build_compiler_args("Shop", "1.2.0", "macos", "--macos-app-icon=logo.icns", {})
    assert len(mac) == 90
    assert mac[17:21] == ["--macos-app-name=Shop", "--macos-app-version=1.2.0",
                          "--macos-signed-app-name=Shop", "--macos-app-console-mode=disable"]


def test_values_are_inserted_unquoted():
    args = b.build_compiler_args("My Shop", "1.0 beta", "linux", "--linux-icon=logo.png", {})
    assert args[1] == "My Shop.py"
    assert args[8] == "--product-name=My Shop"
    assert args[10] == "--file-version=1.0 beta"


class TestMerge:
    def test_new_entries_follow_defaults_once_in_first_seen_order(self):
        args = linux_args({"include_packages": ["django", "mypkg", "other", "mypkg"],
                           "include_modules": ["tarvik_cmd", "extra.mod"],
                           "nofollow_import_to": ["tests"],
                           "include_data_files": ["big.bin=big.bin", "setup.ini=setup.ini"]})
        pkg = [a for a in args if a.startswith("--include-package=")]
        assert pkg == [f"--include-package={p}" for p in PACKAGES + ["mypkg", "other"]]
        i = args.index("--include-package=mypkg")
        assert args[i + 1] == "--include-package-data=mypkg"
        assert args.count("--include-package=django") == 1
        assert [a for a in args if a.startswith("--include-module=")][-1] == "--include-module=extra.mod"
        assert args.count("--include-module=tarvik_cmd") == 1
        assert args[-1] == "--include-data-file=big.bin=big.bin"
        assert len(args) == 86 + 4 + 1 + 1 + 1

    def test_case_variant_is_a_new_entry(self):
        args = linux_args({"include_packages": ["Django"]})
        assert "--include-package=Django" in args and "--include-package=django" in args

    def test_non_list_values_are_refused(self):
        with pytest.raises(TypeError):
            linux_args({"include_packages": "django"})
        with pytest.raises(TypeError):
            linux_args({"include_modules": ["ok", 3]})


class TestBuilderToml:
    def test_absent_file_empty_or_missing_table_give_the_defaults(self, tmp_path, build_env):
        build_env.chdir(tmp_path)
        assert b.load_config() == {}
        (tmp_path / "builder.toml").write_text("[other]\nx = 1\n", encoding="utf-8")
        assert b.load_config() == {}
        (tmp_path / "builder.toml").write_text("# only comments\n[build]\n", encoding="utf-8")
        assert b.load_config() == {}
        assert linux_args(b.load_config())[13:] == LINUX_ARGS[13:]

    def test_build_table_comes_back_with_python_values(self, tmp_path, build_env):
        build_env.chdir(tmp_path)
        (tmp_path / "builder.toml").write_text(
            '[build]\ninclude_packages = ["mypkg", "\u00e9t\u00e9"]\nlevel = 3\nratio = 0.5\nflag = true\n'
            'when = 2024-05-01\nat = 2024-05-01T10:20:30+02:00\n[build.sub]\nk = "v"\n', encoding="utf-8")
        cfg = b.load_config()
        assert cfg["include_packages"] == ["mypkg", "\u00e9t\u00e9"]
        assert cfg["level"] == 3 and cfg["ratio"] == 0.5 and cfg["flag"] is True
        assert cfg["when"] == datetime.date(2024, 5, 1)
        assert cfg["at"] == datetime.datetime(2024, 5, 1, 10, 20, 30,
                                              tzinfo=datetime.timezone(datetime.timedelta(hours=2)))
        assert cfg["sub"] == {"k": "v"}
        assert "--include-package-data=\u00e9t\u00e9" in linux_args(cfg)

    def test_invalid_toml_and_invalid_utf8_fail(self, tmp_path, build_env):
        build_env.chdir(tmp_path)
        (tmp_path / "builder.toml").write_text("[build\n", encoding="utf-8")
        with pytest.raises(ValueError, match="line 1"):
            b.load_config()
        (tmp_path / "builder.toml").write_bytes(b'[build]\nx = "\xff"\n')
        with pytest.raises(UnicodeDecodeError):
            b.load_config()


class TestLauncherMeta:
    @pytest.mark.parametrize("text, expected", [
        ('app_name = "Shop"\nversion = "1.2.0"\n', ("Shop", "1.2.0")),
        ('app_name="Shop"  # the name\nversion =\t"2"\n', ("Shop", "2")),
        ('version = "1"\nversion = "2"\napp_name = "A"\napp_name = "B"\n', ("B", "2")),
        ('app_names = "X"\napp_name = "Real"\nversion = "1"\n', ("Real", "1")),
        ('app_name = "Caf\u00e9 \u00fc"\r\nversion = "1"\r\n', ("Caf\u00e9 \u00fc", "1")),
        ('app_name = "Shop"\nversion = "1"', ("Shop", "1")),
    ])
    def test_recognised_lines(self, tmp_path, build_env, text, expected):
        build_env.chdir(tmp_path)
        (tmp_path / "launcher.py").write_text(text, encoding="utf-8", newline="")
        assert b.read_launcher_meta() == expected

    @pytest.mark.parametrize("text, message", [
        ("app_name = 'Shop'\nversion = \"1\"\n", "Cannot read app_name from launcher.py"),
        ('  app_name = "Shop"\nversion = "1"\n', "Cannot read app_name from launcher.py"),
        ('app_name = ""\nversion = "1"\n', "Cannot read app_name from launcher.py"),
        ('app_name = "Sh\\"op"\n', "Cannot read version from launcher.py"),
        ('app_name = "Shop"\nversion = \'1\'\n', "Cannot read version from launcher.py"),
        ('version = "1"\n', "Cannot read app_name from launcher.py"),
        ('\ufeffapp_name = "Shop"\nversion = "1"\n', "Cannot read app_name from launcher.py"),
    ])
    def test_unrecognised_lines(self, tmp_path, build_env, text, message):
        build_env.chdir(tmp_path)
        (tmp_path / "launcher.py").write_text(text, encoding="utf-8")
        with pytest.raises(Exception) as info:
            b.read_launcher_meta()
        assert str(info.value) == message

    def test_missing_file_names_the_absolute_path(self, tmp_path, build_env):
        build_env.chdir(tmp_path)
        with pytest.raises(FileNotFoundError) as info:
            b.read_launcher_meta()
        assert str(info.value) == "launcher.py not found: " + os.path.join(os.getcwd(), "launcher.py")

    def test_invalid_utf8_fails(self, tmp_path, build_env):
        build_env.chdir(tmp_path)
        (tmp_path / "launcher.py").write_bytes(b'app_name = "S\xe9"\nversion = "1"\n')
        with pytest.raises(UnicodeDecodeError):
            b.read_launcher_meta()


class TestPlatform:
    @pytest.mark.parametrize("system, machine, expected", [
        ("Windows", "AMD64", ("windows", "x64", "Windows", "--windows-icon-from-ico=logo.ico")),
        ("Windows", "ARM64", ("windows", "arm64", "Windows", "--windows-icon-from-ico=logo.ico")),
        ("Darwin", "arm64", ("macos", "arm64", "macOS", "--macos-app-icon=logo.icns")),
        ("Darwin", "x86_64", ("macos", "x64", "macOS", "--macos-app-icon=logo.icns")),
        ("Linux", "aarch64", ("linux", "arm64", "Linux", "--linux-icon=logo.png")),
        ("Linux", "AARCH64", ("linux", "arm64", "Linux", "--linux-icon=logo.png")),
        ("Linux", "i686", ("linux", "x64", "Linux", "--linux-icon=logo.png")),
        ("FreeBSD", "amd64", ("linux", "x64", "Linux", "--linux-icon=logo.png")),
        ("darwin", "arm64", ("linux", "arm64", "Linux", "--linux-icon=logo.png")),
        ("Linux", "armv7l", ("linux", "x64", "Linux", "--linux-icon=logo.png")),
    ])
    def test_mapping(self, system, machine, expected):
        assert b._platform_for(system, machine) == expected

    def test_running_system(self):
        import platform
        assert b.get_platform() == b._platform_for(platform.system(), platform.machine())


@pytest.mark.parametrize("seconds, text", [(125.36, "2 min 5.4 sec"), (59.97, "0 min 60.0 sec"),
                                           (0.04, "0 min 0.0 sec"), (3600.0, "60 min 0.0 sec")])
def test_duration_format(seconds, text):
    assert b._format_duration(seconds) == text


# After a line-ending backslash: the ends of the ranges toml++'s white-space
# test has no answer for, and what toml++ skips as white space where TOML keeps
# it as text; then code points just outside those (read as usual).
UNREADABLE_AFTER_BACKSLASH = [0xA1, 0x499, 0x2C5E, 0x2FFF, 0x3001, 0x3057, 0xFB26, 0xFEFE,
                              0xA0, 0x2000, 0x3000, 0xFEFF]
READABLE_AFTER_BACKSLASH = [0x7E, 0x49A, 0x2C5D, 0x3058, 0xFB25, 0xFF00, 0x200C, 0x2028]


@pytest.mark.parametrize("code", UNREADABLE_AFTER_BACKSLASH + READABLE_AFTER_BACKSLASH)
def test_code_points_after_a_line_ending_backslash(tmp_path, build_env, code):
    text = f'[build]\ninclude_packages = ["""x\\\n \n\t{chr(code)} y"""]\n'
    import tomllib
    expected = tomllib.loads(text)["build"]["include_packages"]
    assert expected == [f"x{chr(code)} y"]
    build_env.chdir(tmp_path)
    (tmp_path / "builder.toml").write_text(text, encoding="utf-8")
    if code in UNREADABLE_AFTER_BACKSLASH:
        with pytest.raises(ValueError, match=rf"line 4: U\+{code:04X} after a line-ending backslash"):
            b.load_config()
    else:
        assert b.load_config()["include_packages"] == expected


def test_builder_toml_that_the_toml_parser_cannot_read_safely_is_refused(tmp_path, build_env):
    text = 'note = """x\\\n\t\u2d00 y"""\n[build]\n'  # valid TOML (tomllib reads it)
    import tomllib
    tomllib.loads(text)
    build_env.chdir(tmp_path)
    (tmp_path / "builder.toml").write_text(text, encoding="utf-8")
    with pytest.raises(ValueError, match=r"line 2: U\+2D00 after a line-ending backslash"):
        b.load_config()


@pytest.mark.parametrize("text", ['[.poin = "3"', "\u00fc = 1", "[build]\n[build]\n"])
def test_builder_toml_that_is_not_strict_toml_fails_with_the_strict_readers_message(tmp_path, build_env, text):
    import tomllib
    build_env.chdir(tmp_path)
    (tmp_path / "builder.toml").write_text(text, encoding="utf-8")
    with pytest.raises(tomllib.TOMLDecodeError) as expected:
        tomllib.loads(text)
    with pytest.raises(ValueError) as e:
        b.load_config()
    assert str(e.value) == str(expected.value)
