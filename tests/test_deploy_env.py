"""The env: block rewriting of the CI workflow, as a pure text transform."""
import pytest

from tarvik_cmd.deploy import _inject_env

VARS = {"APP_NAME": "Shop", "BASE_VERSION": "1.2.0", "COMMUNITY_KEY": "key-9"}
BLOCK = 'env:\n  APP_NAME: "Shop"\n  BASE_VERSION: "1.2.0"\n  COMMUNITY_KEY: "key-9"\n'
APPENDED = '  APP_NAME: "Shop"\n  BASE_VERSION: "1.2.0"\n  COMMUNITY_KEY: "key-9"'


@pytest.mark.parametrize("template, expected", [
    # a first "name:" line keeps its place above the new block
    ("name: Build\non: push\njobs: {}\n", "name: Build\n" + BLOCK + "on: push\njobs: {}\n"),
    # anything else, a comment or an indented name included, goes below it
    ("# CI\non: push\n", BLOCK + "# CI\non: push\n"),
    (" name: Build\non: push", BLOCK + " name: Build\non: push"),
    ("", BLOCK),
    # a name line that is the whole text: nothing to split after
    ("name: Build", BLOCK + "name: Build"),
    # "environment:" and "env: x" are not env lines
    ("name: A\nenvironment:\n  X: 1\nenv: inline\n",
     "name: A\n" + BLOCK + "environment:\n  X: 1\nenv: inline\n"),
])
def test_new_block_when_the_template_has_none(template, expected):
    assert _inject_env(template, VARS) == expected


def test_existing_block_rewritten_in_place_and_completed():
    template = ("name: Build\n"
                "env:\n"
                "  PYTHON: \"3.11\"\n"
                "  APP_NAME: \"Old\"\n"
                "on:\n"
                "  push: {}\n")
    assert _inject_env(template, VARS) == (
        "name: Build\n"
        "env:\n"
        "  PYTHON: \"3.11\"\n"
        "  APP_NAME: \"Shop\"\n"
        "  BASE_VERSION: \"1.2.0\"\n"
        "  COMMUNITY_KEY: \"key-9\"\n"
        "on:\n"
        "  push: {}\n")


@pytest.mark.parametrize("entry, written", [
    ("    APP_NAME: old-value   # set by hand", '    APP_NAME: "Shop"'),
    ("\tAPP_NAME :old", '\tAPP_NAME: "Shop"'),
    ("  APP_NAME:", '  APP_NAME: "Shop"'),
    # \s is Unicode whitespace: an ideographic space indents like a blank
    ("\u3000APP_NAME: x", '\u3000APP_NAME: "Shop"'),
])
def test_entry_keeps_its_own_indent_and_loses_value_and_comment(entry, written):
    out = _inject_env("env:\n" + entry + "\nx: 1", VARS)
    assert out == ("env:\n" + written + "\n"
                   '  BASE_VERSION: "1.2.0"\n  COMMUNITY_KEY: "key-9"\nx: 1')


@pytest.mark.parametrize("entry", [
    "  app_name: lower",          # lower case never matches
    "  APP_NAME_2: other",        # another upper-case name
    "  App_Name: mixed",
    "  - APP_NAME=list-item",
    "  # APP_NAME: commented out",
])
def test_other_lines_in_a_block_stay_and_all_keys_are_appended(entry):
    assert _inject_env("env:\n" + entry + "\nrest: 1\n", VARS) == \
        "env:\n" + entry + "\n" + APPENDED + "\nrest: 1\n"


def test_block_at_end_of_file_takes_the_empty_last_line():
    # The empty line after the final "\n" belongs to the block: the new entries
    # follow it, and the result no longer ends with a newline.
    assert _inject_env("on: push\nenv:\n  APP_NAME: a\n", VARS) == (
        'on: push\nenv:\n  APP_NAME: "Shop"\n\n'
        '  BASE_VERSION: "1.2.0"\n  COMMUNITY_KEY: "key-9"')


def test_every_env_block_is_processed_job_level_one_included():
    template = ("env:\n"
                "  APP_NAME: top\n"
                "  BASE_VERSION: top\n"
                "  COMMUNITY_KEY: top\n"
                "jobs:\n"
                "  build:\n"
                "    env:\n"
                "      BASE_VERSION: job\n"
                "    runs-on: ubuntu-latest\n"
                "\n"
                "    steps:\n"
                "      - run: make\n"
                "final: true\n")
    assert _inject_env(template, VARS) == (
        "env:\n"
        '  APP_NAME: "Shop"\n'
        '  BASE_VERSION: "1.2.0"\n'
        '  COMMUNITY_KEY: "key-9"\n'
        "jobs:\n"
        "  build:\n"
        "    env:\n"
        '      BASE_VERSION: "1.2.0"\n'
        "    runs-on: ubuntu-latest\n"
        "\n"
        "    steps:\n"
        "      - run: make\n"
        # the job block runs on to the next line at column 0; each block has
        # its own record of the keys it holds
        '  APP_NAME: "Shop"\n'
        '  COMMUNITY_KEY: "key-9"\n'
        "final: true\n")


def test_values_are_written_without_escaping():
    out = _inject_env("env:\n  APP_NAME: x\nz: 0", {
        "APP_NAME": 'say "hi"', "BASE_VERSION": "C:\\path\\n", "COMMUNITY_KEY": "ключ"})
    assert out == ('env:\n  APP_NAME: "say "hi""\n'
                   '  BASE_VERSION: "C:\\path\\n"\n  COMMUNITY_KEY: "ключ"\nz: 0')


def test_text_outside_blocks_comes_back_byte_for_byte():
    # Only "\n" splits lines: a "\r" stays with its line, outside and inside.
    template = "a: 1\r\n  b: [x, y]  \r\nenv:\r\n  OTHER: 1\r\nc: \u00e9\r\n\r\n"
    out = _inject_env(template, VARS)
    assert out == ("a: 1\r\n  b: [x, y]  \r\nenv:\r\n  OTHER: 1\r\n"
                   + APPENDED + "\nc: \u00e9\r\n\r\n")


def test_order_of_new_entries_follows_the_map():
    out = _inject_env("", {"COMMUNITY_KEY": "k", "APP_NAME": "a"})
    assert out == 'env:\n  COMMUNITY_KEY: "k"\n  APP_NAME: "a"\n'


@pytest.mark.parametrize("template", ["\udc80env:\n", "env:\n  \udcff: 1\n", "\x00\n\x85env:"])
def test_never_fails_on_any_text(template):
    out = _inject_env(template, VARS)
    assert isinstance(out, str)
    assert out.count("COMMUNITY_KEY") == 1
