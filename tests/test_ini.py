"""The INI rules of tarvikconf.ini and setup.ini, checked against Python's
configparser (raw values, no interpolation) as the oracle: the same sections,
options, values and failures for many generated files, and the same written
text after the same edits."""
import configparser
import io
import random

import pytest

from tarvik_cmd._tarvik_cmd.core import IniConfig

# Lines the generator draws from: headers (odd ones included), options with
# both delimiters, comments, continuations, blanks and malformed lines.
HEADERS = ["[project]", "[mode]", "[Project]", "[DEFAULT]", "[ spaced ]", "[a]b]", "[x] trailing",
           "[]", "[ünï]", "  [indented]", "[project]"]
OPTIONS = ["name = ostervane", "Name=Ostervane", "NAME : x", "key:value", "empty =", "k = a = b",
           "url = http://h:80/p", "  indented = 1", "ÄÖ = umlaut", "ΟΔΟΣ = sigma", "\u3000wide = ws\u3000",
           "tab\t=\tv\t", "nul = a\x00b", "= novalue", ": nokey", "x=1 ; not a comment", "pct = 50%", "name = second"]
OTHERS = ["# comment", "; comment", "   # indented comment", "", "   ", "\t", "no delimiter here",
          "    continued line", "\tmore", "        deep = continuation", "\x0c"]


def random_ini(rng):
    lines = []
    if rng.random() < 0.85:
        lines.append(rng.choice(HEADERS[:3]))
    for _ in range(rng.randint(0, 14)):
        pool = rng.choices([HEADERS, OPTIONS, OTHERS], weights=[2, 6, 4])[0]
        lines.append(rng.choice(pool))
    end = rng.choice(["\n", "\r\n", "\r"])
    return end.join(lines) + rng.choice(["", end])


def oracle():
    return configparser.ConfigParser(interpolation=None)


def outcome(read):
    """("ok", None) or (exception class name, str(exception))."""
    try:
        read()
    except Exception as e:  # noqa: BLE001 - any failure is compared with the oracle's
        return type(e).__name__, str(e)
    return "ok", None


def written(cfg):
    if isinstance(cfg, IniConfig):
        return cfg.to_string()
    buf = io.StringIO()
    cfg.write(buf)
    return buf.getvalue()


def assert_same_content(ours, theirs):
    assert ours.sections() == theirs.sections()
    assert written(ours) == written(theirs)
    for section in theirs.sections() + ["DEFAULT"]:
        for option in theirs[section]:
            for spelled in (option, option.upper()):
                assert ours.has_option(section, spelled) == theirs.has_option(section, spelled)
                assert ours.get(section, spelled) == theirs.get(section, spelled)


@pytest.mark.parametrize("seed", range(400))
def test_reading_generated_files_matches_configparser(tmp_path, seed):
    rng = random.Random(seed)
    path = tmp_path / "setup.ini"
    path.write_bytes(random_ini(rng).encode("utf-8"))
    ours, theirs = IniConfig(), oracle()
    result = outcome(lambda: ours.read(str(path)))
    assert result == outcome(lambda: theirs.read(str(path), encoding="utf-8"))
    if result[0] == "ok":
        assert_same_content(ours, theirs)
    else:
        assert ours.sections() == []  # a failed read changes nothing


@pytest.mark.parametrize("seed", range(150))
def test_read_string_matches_configparser(seed):
    text = random_ini(random.Random(1000 + seed))
    ours, theirs = IniConfig(), oracle()
    result = outcome(lambda: ours.read_string(text))
    assert result == outcome(lambda: theirs.read_string(text))
    if result[0] == "ok":
        assert_same_content(ours, theirs)


def test_failures_have_configparser_types_and_messages(tmp_path):
    cases = {
        "key = before any section\n[s]\n": configparser.MissingSectionHeaderError,
        "[s]\na = 1\n[t]\n[s]\n": configparser.DuplicateSectionError,
        "[s]\na = 1\nA: 2\n": configparser.DuplicateOptionError,
        "[s]\njust words\nmore words\n": configparser.ParsingError,
    }
    for text, kind in cases.items():
        path = tmp_path / "x.ini"
        path.write_text(text, encoding="utf-8")
        with pytest.raises(kind) as ours:
            IniConfig().read(str(path))
        with pytest.raises(kind) as theirs:
            oracle().read(str(path), encoding="utf-8")
        assert str(ours.value) == str(theirs.value)

    cfg = IniConfig()
    cfg.read_string("[s]\na = 1\n")
    with pytest.raises(configparser.NoSectionError, match=r"^No section: 'missing'$"):
        cfg.get("missing", "a")
    with pytest.raises(configparser.NoOptionError, match=r"^No option 'nope' in section: 's'$"):
        cfg.get("s", "NOPE")
    with pytest.raises(configparser.NoSectionError):
        cfg.set("missing", "a", "1")
    with pytest.raises(configparser.DuplicateSectionError, match=r"^Section 's' already exists$"):
        cfg.add_section("s")
    with pytest.raises(ValueError, match="Invalid section name: 'DEFAULT'"):
        cfg.add_section("DEFAULT")
    assert cfg.get("missing", "a", fallback="fb") == "fb"
    assert cfg.get("s", "b", fallback=None) is None
    assert not cfg.has_section("missing") and "missing" not in cfg.sections()


def test_missing_file_reads_empty_but_other_read_failures_raise(tmp_path):
    cfg = IniConfig()
    cfg.read(str(tmp_path / "absent.ini"))
    cfg.read(str(tmp_path / "no_dir" / "absent.ini"))
    assert cfg.sections() == []
    # configparser silently skips what it cannot open; a setup.ini that is a
    # directory (or unreadable) must not read as empty and then be replaced.
    (tmp_path / "dir.ini").mkdir()
    with pytest.raises(IsADirectoryError):
        cfg.read(str(tmp_path / "dir.ini"))
    (tmp_path / "latin.ini").write_bytes(b"[s]\nname = caf\xe9\n")
    with pytest.raises(UnicodeDecodeError):
        cfg.read(str(tmp_path / "latin.ini"))


@pytest.mark.parametrize("seed", range(150))
def test_edits_write_the_same_text_as_configparser(tmp_path, seed):
    rng = random.Random(5000 + seed)
    base = "[project]\nname = x\n\n[mode]\nname = project\n"
    ours, theirs = IniConfig(), oracle()
    ours.read_string(base)
    theirs.read_string(base)
    values = ["ostervane", "", "two\nlines", "a\n\nb", "  padded", "ünïcode", "x = y", "[not a header]"]
    for _ in range(rng.randint(1, 8)):
        op = rng.choice(["set", "set", "add"])
        section = rng.choice(["project", "mode", "new", "DEFAULT", "Project"])
        if op == "add":
            args = (section,)
            call = lambda c: c.add_section(*args)  # noqa: E731
        else:
            args = (section, rng.choice(["name", "Name", "other"]), rng.choice(values))
            call = lambda c: c.set(*args)  # noqa: E731
        assert outcome(lambda: call(ours)) == outcome(lambda: call(theirs))
    path = tmp_path / "setup.ini"
    ours.write(str(path))
    assert path.read_text(encoding="utf-8") == written(theirs)
    # What was written reads back as the same configuration.
    again, oracle_again = IniConfig(), oracle()
    again.read(str(path))
    oracle_again.read(str(path), encoding="utf-8")
    assert_same_content(again, oracle_again)


def test_line_breaks_in_values_survive_a_write_and_read(tmp_path):
    cfg = IniConfig()
    cfg.add_section("project")
    cfg.set("project", "name", "first\nsecond\n\nfourth")
    cfg.set("project", "crlf", "one\r\ntwo\rthree")
    cfg.set("project", "after", "intact")
    path = tmp_path / "setup.ini"
    cfg.write(str(path))
    back = IniConfig()
    back.read(str(path))
    assert back.get("project", "name") == "first\nsecond\n\nfourth"
    assert back.get("project", "crlf") == "one\ntwo\nthree"
    assert back.get("project", "after") == "intact"
    assert back.sections() == ["project"]


def test_reads_merge_and_defaults_apply_to_every_section():
    cfg = IniConfig()
    cfg.read_string("[DEFAULT]\nshared = yes\n[a]\nx = 1\n")
    cfg.read_string("[a]\nx = 2\ny = 3\n[b]\n")
    assert cfg.sections() == ["a", "b"]
    assert cfg.get("a", "x") == "2" and cfg.get("b", "shared") == "yes"
    assert cfg.has_option("b", "SHARED") and not cfg.has_section("DEFAULT")
    assert cfg.to_string() == "[DEFAULT]\nshared = yes\n\n[a]\nx = 2\ny = 3\n\n[b]\n\n"
