"""Ignore rules of a build: the rule table, and glob matching checked
against Python's fnmatch (the reference for the pattern language)."""
import fnmatch
import itertools

import pytest

from tarvik_cmd.build import is_ignored, load_gitignore


@pytest.mark.parametrize("rel, patterns, ignored", [
    ("logs/a.txt", ["logs/"], True),
    ("sub/logs/a.txt", ["logs/"], True),
    ("catalogs/a.txt", ["logs/"], False),
    ("logs", ["logs/"], False),
    ("a/logs//b", ["logs//"], True),
    ("a.pyc", ["*.pyc"], True),
    ("pkg/sub/b.pyc", ["*.pyc"], True),
    ("docs/a.md", ["docs/*.md"], True),
    ("docs/x/y.md", ["docs/*.md"], True),
    ("sub/docs/a.md", ["docs/*.md"], False),
    ("sub/docs/a.md", ["*/docs/*.md"], True),
    ("a/b/c.txt", ["/a/b/c.txt"], False),
    ("!keep.txt", ["!keep.txt"], True),
    ("keep.txt", ["!keep.txt"], False),
    ("a/b.txt", ["**/b.txt"], True),
    ("b.txt", ["**/b.txt"], False),
    ("node_modules/x.js", [], True),
    ("a/node_modules/b/c.js", [], True),
    ("a/node_modules.txt", [], False),
    ("a/Node_Modules/b.js", [], False),
    ("Build.LOG", ["*.log"], False),
    ("x.txt", ["*.log", "x.*"], True),
    ("x.txt", [], False),
])
def test_rule_table(rel, patterns, ignored):
    assert is_ignored(rel, patterns) is ignored


PATTERNS = ["*", "?", "a*", "*b", "a?c", "[abc]", "[!abc]", "[a-c]x", "[z-a]", "[!z-a]", "[]]", "[!]]", "[a-]",
            "[-a]", "[", "a[", "[!]", "a[b", "*[0-9]", "\\*", "a\\b", "[\\]", "**", "a**b", "*.*", "?/?",
            "a/*", "*/b", "\u00e9*", "[\u00e0-\u00ff]", "?\u00df", "[a-c-e]", "[^a]", "[[]", "*a*a*a*b"]
NAMES = ["", "a", "b", "ab", "abc", "aXc", "x", "]", "-", "[", "a[", "a[b", "*", "a\\b", "\\", "1", "a1",
         "a/b", "a/b/c", "aaab", "\u00e9t\u00e9", "\u00f1", "x\u00df", "cx", "dx", "e", "^", "a.b", "aaaaab"]


def test_glob_matches_like_fnmatch():
    mismatches = [(p, n) for p, n in itertools.product(PATTERNS, NAMES)
                  if "/" not in n and not p.endswith("/")
                  and is_ignored(n, [p]) != fnmatch.fnmatchcase(n, p)]
    assert mismatches == []


def test_paths_match_whole_or_last_component_like_fnmatch():
    paths = ["a/b", "a/b/c", "x/ab", "dir/a.b", "a/aXc", "q/\u00e9t\u00e9", "a/]"]
    for p, rel in itertools.product(PATTERNS, paths):
        if p.endswith("/"):
            continue
        expected = fnmatch.fnmatchcase(rel, p) or fnmatch.fnmatchcase(rel.rsplit("/", 1)[1], p)
        assert is_ignored(rel, [p]) == expected, (p, rel)


def test_load_gitignore_reads_distribution_then_workspace(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    dist = tmp_path / "build" / "d"
    dist.mkdir(parents=True)
    assert load_gitignore(dist) == []
    (tmp_path / ".gitignore").write_text("*.log\n\t# indented comment\n  spaced.txt  \n*.log\n", encoding="utf-8")
    assert load_gitignore(str(dist)) == ["*.log", "spaced.txt", "*.log"]
    (dist / ".gitignore").write_bytes("first/\r\n\r\n!second\r\u00e9\n".encode("utf-8"))
    assert load_gitignore(dist) == ["first/", "!second", "\u00e9", "*.log", "spaced.txt", "*.log"]
    (dist / ".gitignore").write_bytes(b"ok\n\xff\n")
    with pytest.raises(UnicodeDecodeError):
        load_gitignore(dist)
