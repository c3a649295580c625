"""The banner as bytes on a real standard output."""
import subprocess
import sys

CYAN, RESET = "\x1b[36m", "\x1b[0m"


def banner_bytes():
    out = subprocess.run([sys.executable, "-c", "from tarvik_cmd.welcome import welcome; welcome()"],
                         capture_output=True, check=True)
    assert out.stderr == b""
    return out.stdout


def test_banner_is_an_empty_line_five_cyan_rows_and_an_empty_line():
    text = banner_bytes().decode("ascii")
    lines = text.split("\n")
    assert lines[0] == "" and lines[6:] == ["", ""]
    rows = lines[1:6]
    for row in rows:
        assert row.startswith(CYAN + "  ") and row.endswith(RESET)
        body = row[len(CYAN):-len(RESET)]
        assert set(body) <= {"$", " "} and "$" in body
        assert 50 <= len(body) <= 60
    # Six letters: groups of columns with "$" separated by blank columns.
    bodies = [r[len(CYAN):-len(RESET)] for r in rows]
    width = max(map(len, bodies))
    filled = [any(len(b) > c and b[c] == "$" for b in bodies) for c in range(width)]
    groups = sum(1 for c in range(width) if filled[c] and (c == 0 or not filled[c - 1]))
    assert groups == 6


def test_banner_goes_through_sys_stdout(capsys):
    from tarvik_cmd.welcome import welcome

    welcome()
    welcome()
    out = capsys.readouterr().out
    assert out.count(CYAN) == 10 and out.count(RESET) == 10
    assert out.encode("ascii") == banner_bytes() * 2
