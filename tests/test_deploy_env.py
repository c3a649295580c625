"""The env: block rewriting of the CI workflow, as a pure text transform."""
import pytest

from tarvik_cmd.deploy import _inject_env

VARS = {"APP_NAME": "Shop", "BASE_VERSION": "1.2.0", "COMMUNITY_KEY": "key-9"}
ENTRIES = '  APP_NAME: "Shop"\n  BASE_VERSION: "1.2.0"\n  COMMUNITY_KEY: "key-9"'
BLOCK = "env:\n" + ENTRIES + "\n"


@pytest.mark.parametrize("template, expected", [
    # a first "name:" line keeps its place above the new block
    ("name: Build\non: push\n", "name: Build\n" + BLOCK + "on: push\n"),
    ("name: Build", BLOCK + "name: Build"),
    # a comment, an indented name, "environment:", "env: x" all stay below it
    ("# CI\n name: B\nenvironment:\n  X: 1\nenv: x", BLOCK + "# CI\n name: B\nenvironment:\n  X: 1\nenv: x"),
    ("", BLOCK),
    # the indented lines that continue the name's value stay with it
    ("name: |\n  multi\n\n  line\n\non: push\n", "name: |\n  multi\n\n  line\n" + BLOCK + "\non: push\n"),
    ("name: |\n  multi", "name: |\n  multi\n" + BLOCK),
])
def test_new_block_when_the_template_has_none(template, expected):
    assert _inject_env(template, VARS) == expected


@pytest.mark.parametrize("entry, written", [
    ("  APP_NAME: \"Old\"", '  APP_NAME: "Shop"'),
    ("    APP_NAME: old-value   # set by hand", '    APP_NAME: "Shop"'),
    ("\tAPP_NAME :old", '\tAPP_NAME: "Shop"'),
    ("\u3000APP_NAME:", '\u3000APP_NAME: "Shop"'),  # \s is Unicode whitespace
])
def test_entry_rewritten_in_place_with_its_own_indent(entry, written):
    template = "name: B\nenv:\n  PYTHON: \"3.11\"\n" + entry + "\non:\n  push: {}\n"
    assert _inject_env(template, VARS) == (
        "name: B\nenv:\n  PYTHON: \"3.11\"\n" + written + "\n"
        '  BASE_VERSION: "1.2.0"\n  COMMUNITY_KEY: "key-9"\non:\n  push: {}\n')


@pytest.mark.parametrize("entry", ["  app_name: lower", "  APP_NAME_2: x", "  # APP_NAME: off", "  - APP_NAME=1"])
def test_other_lines_of_a_block_stay_and_every_key_is_appended(entry):
    assert _inject_env("env:\n" + entry + "\nz: 1", VARS) == "env:\n" + entry + "\n" + ENTRIES + "\nz: 1"


def test_block_at_end_of_file_takes_the_empty_last_line():
    # The new entries follow the empty line after the final "\n", and the
    # result no longer ends with a newline.
    assert _inject_env("on: push\nenv:\n  APP_NAME: a\n", VARS) == (
        'on: push\nenv:\n  APP_NAME: "Shop"\n\n  BASE_VERSION: "1.2.0"\n  COMMUNITY_KEY: "key-9"')


def test_every_env_block_is_processed_job_level_one_included():
    template = ("env:\n  APP_NAME: top\n  BASE_VERSION: top\n  COMMUNITY_KEY: top\n"
                "jobs:\n  build:\n    env:\n      BASE_VERSION: job\n"
                "    runs-on: ubuntu-latest\n\n    steps:\n      - run: make\n"
                "final: true\n")
    assert _inject_env(template, VARS) == (
        "env:\n" + ENTRIES + "\n"
        "jobs:\n  build:\n    env:\n"
        '      BASE_VERSION: "1.2.0"\n'
        "    runs-on: ubuntu-latest\n\n    steps:\n      - run: make\n"
        # the job block runs on to the next line at column 0, and keeps its own
        # record of the keys it holds
        '  APP_NAME: "Shop"\n  COMMUNITY_KEY: "key-9"\n'
        "final: true\n")


def test_values_are_written_without_escaping():
    out = _inject_env("", {"APP_NAME": 'say "hi"', "BASE_VERSION": "C:\\n", "COMMUNITY_KEY": "ключ"})
    assert out == 'env:\n  APP_NAME: "say "hi""\n  BASE_VERSION: "C:\\n"\n  COMMUNITY_KEY: "ключ"\n'


def test_text_outside_blocks_comes_back_byte_for_byte():
    # Only "\n" splits lines: a "\r" stays with its line, outside and inside.
    template = "a: 1\r\n  b: [x, y]  \r\nenv:\r\n  OTHER: 1\r\nc: \u00e9\r\n\r\n"
    assert _inject_env(template, VARS) == (
        "a: 1\r\n  b: [x, y]  \r\nenv:\r\n  OTHER: 1\r\n" + ENTRIES + "\nc: \u00e9\r\n\r\n")


@pytest.mark.parametrize("template", ["\udc80env:\n", "env:\n  \udcff: 1\n", "\x00\n\x85env:"])
def test_never_fails_on_any_text(template):
    assert _inject_env(template, VARS).count("COMMUNITY_KEY") == 1
