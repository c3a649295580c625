"""Python's own modules as the judges of the fuzz targets' C++ results.

Each function takes the fuzz input (bytes) and the C++ result (bytes, UTF-8 or
with lone surrogates written as UTF-8) and returns "" when they agree, else a
text saying how they differ. The seeded tests in tests/test_parser_oracles.py
use the same rules through the library's Python surface.
"""
import configparser
import fnmatch
import json
import ntpath
import re
import tomllib

EXTRA_KEYS = ("include_packages", "include_modules", "nofollow_import_to", "include_data_files")


def _text(b):
    return b.decode("utf-8", "surrogatepass")


def lower(data, _cpp=b""):
    return _text(data).lower()


def upper(data, _cpp=b""):
    return _text(data).upper()


# --- TOML -------------------------------------------------------------------

def tagged(v):
    """TOML data with every scalar as "<type>:<text>" (as the host layer gives it)."""
    if isinstance(v, dict):
        return {k: tagged(x) for k, x in v.items()}
    if isinstance(v, list):
        return [tagged(x) for x in v]
    if v is None:
        return "NoneType:None"
    if isinstance(v, (bool, str, int, float)):
        return type(v).__name__ + ":" + (v if isinstance(v, str) else repr(v))
    return type(v).__name__ + ":" + v.isoformat()


def strict_toml_data(data, _cpp=b""):
    try:
        return "ok:" + json.dumps(tagged(tomllib.loads(_text(data))), ensure_ascii=False)
    except tomllib.TOMLDecodeError as e:
        return "error:" + str(e)
    except RecursionError:
        return "error:nested too deeply"


def edited_toml(template, name, version="0.0.1"):
    """tomllib's data of the template with tool.poetry's name and version set,
    or None when the edit cannot be made (invalid TOML, a non-table on the path)."""
    try:
        doc = tomllib.loads(template)
    except (tomllib.TOMLDecodeError, RecursionError):
        return None
    t = doc
    for key in ("tool", "poetry"):
        t = t.setdefault(key, {})
        if not isinstance(t, dict):
            return None
    t["name"] = name
    t["version"] = version
    return doc


def toml_edit(data, cpp):
    """Input: name, NUL, template (or only the template, name "tarvik").
    cpp: "ok:<written text>" or "error:<message>"."""
    text = _text(data)
    name, sep, template = text.partition("\0")
    if not sep:
        name, template = "tarvik", text
    cpp = _text(cpp)
    expected = edited_toml(template, name)
    if cpp.startswith("error:"):
        return ""  # failing cleanly is always allowed; what is written must be right
    written = cpp[3:]
    if expected is None:
        return "an edit was written for a template that cannot take it"
    try:
        got = tomllib.loads(written)
    except tomllib.TOMLDecodeError as e:
        return f"written text is not valid TOML: {e}: {written!r}"
    if tagged(got) != tagged(expected):  # tagged: NaN equals NaN, 1 differs from 1.0 and True
        return f"written data {got!r} != expected {expected!r}"
    return ""


def builder_toml(data, cpp):
    """cpp: JSON of the [build] list keys, or "error:<kind>"."""
    cpp = _text(cpp)
    try:
        doc = tomllib.loads(_text(data))
    except (tomllib.TOMLDecodeError, RecursionError):
        return "" if cpp.startswith("error:") else f"accepted what tomllib refuses: {cpp!r}"
    if cpp.startswith("error:TOMLDecodeError") or cpp.startswith("error:ValueError"):
        return ""  # toml++ may refuse a document tomllib takes (e.g. an integer beyond 64 bits)
    build = doc.get("build")
    expected = {}
    error = None
    if build is not None:
        if not isinstance(build, dict):
            error = "TypeError"
        else:
            for key in EXTRA_KEYS:
                if key not in build:
                    continue
                v = build[key]
                if not isinstance(v, list) or not all(isinstance(x, str) for x in v):
                    error = "TypeError"
                    break
                expected[key] = v
    if error:
        return "" if cpp == "error:" + error else f"expected {error}, got {cpp!r}"
    if cpp.startswith("error:"):
        return f"expected {expected!r}, got {cpp!r}"
    got = json.loads(cpp)
    return "" if got == expected else f"expected {expected!r}, got {got!r}"


# --- JSON -------------------------------------------------------------------

class _KnownLimit(Exception):
    pass


def _within_known_limits(v):
    """The value as the C++ reader holds it, given its known limits (reported,
    not yet lifted): an integer beyond 64 bits becomes a float and a lone
    surrogate fails the read (_KnownLimit)."""  # noqa: D401
    if isinstance(v, dict):
        return {_within_known_limits(k): _within_known_limits(x) for k, x in v.items()}
    if isinstance(v, list):
        return [_within_known_limits(x) for x in v]
    if isinstance(v, str):
        if any(0xD800 <= ord(c) <= 0xDFFF for c in v):
            raise _KnownLimit
        return v
    if isinstance(v, bool) or v is None:
        return v
    if isinstance(v, int):
        return v if -2 ** 63 <= v < 2 ** 64 else float(v)
    return v


def _every_member_within_known_limits(pairs):
    """object_pairs_hook: the limits hold for every member read, also for one a
    later member of the same name replaces (the C++ reader reads it too)."""
    for key, value in pairs:
        _within_known_limits(key)
        _within_known_limits(value)
    return dict(pairs)


def manifest_json(data, cpp):
    """cpp: json.dumps(..., ensure_ascii=False) form of the parsed value, or "error"."""
    cpp = _text(cpp)
    try:
        value = json.loads(_text(data), object_pairs_hook=_every_member_within_known_limits)
        value = _within_known_limits(value)
    except (ValueError, RecursionError):
        return "" if cpp == "error" else f"accepted what json.loads refuses: {cpp!r}"
    except _KnownLimit:
        return ""
    expected = json.dumps(value, ensure_ascii=False)
    if cpp == expected:
        return ""
    # Known (reported): the compact writer spells some floats otherwise than
    # repr() (1.2345671819023458e+15 for 1234567181902345.8); the values read
    # must still be the same.
    try:
        same = tagged(json.loads(cpp)) == tagged(value)
    except ValueError:
        same = False
    return "" if same else f"expected {expected!r}, got {cpp!r}"


# --- INI --------------------------------------------------------------------

def ini_data(text):
    """configparser's raw data of the text, or the name of its error."""
    cp = configparser.ConfigParser(interpolation=None)
    try:
        cp.read_string(text)
    except configparser.Error as e:
        return type(e).__name__
    return (list(cp._defaults.items()),
            [(s, list(cp._sections[s].items())) for s in cp.sections()])


def ini(data, cpp):
    """cpp: "ok:<written form>" or "error:<configparser error name>". The C++
    reader must fail as configparser does, or write configparser's data of
    the input."""
    expected = ini_data(_text(data))
    cpp = _text(cpp)
    if cpp.startswith("error:"):
        got = cpp[6:]
        return "" if got == expected else f"expected {expected!r}, got {got}"
    if isinstance(expected, str):
        return f"expected {expected}, got a successful read"
    # The writer's text: every section ("[DEFAULT]" first when it has options)
    # with one "key = value" line per option, a line break inside a value
    # ("\r\n", "\r" or "\n": the file is read with universal newlines) as a
    # continuation line, an empty line after each section. configparser.write
    # writes the same, except that it leaves a carriage return as it is.
    def continued(v):
        return v.replace("\r\n", "\n").replace("\r", "\n").replace("\n", "\n\t")

    defaults, sections = expected
    text = "".join(f"[{name}]\n" + "".join(f"{k} = {continued(v)}\n" for k, v in options) + "\n"
                   for name, options in ([("DEFAULT", defaults)] if defaults else []) + sections)
    written = cpp[3:]
    if written != text:
        return f"written {written!r}, expected {text!r}"
    if "\r" not in _text(data):  # and it reads back as the same data
        again = ini_data(written)
        if again != expected:
            return f"written form reads as {again!r}, expected {expected!r}"
    return ""


# --- ignore rules -----------------------------------------------------------

def ignored(path, patterns):
    """The ignore rule, written with fnmatch."""
    if "node_modules" in path.split("/"):
        return True
    base = path.rsplit("/", 1)[-1]
    for p in patterns:
        if fnmatch.fnmatchcase(path, p) or fnmatch.fnmatchcase(base, p):
            return True
        if p.endswith("/"):
            d = p.rstrip("/") + "/"
            if path.startswith(d) or "/" + d in path:
                return True
    return False


def ignore_rules(data, cpp):
    """Input lines: a path, then patterns. cpp: per pattern "1"/"0" of the
    plain match, "|", the same with folding (the Windows rules), "|", the
    ignore rule."""
    lines = _text(data).split("\n")
    path, patterns = lines[0], lines[1:]
    plain = "".join("1" if fnmatch.fnmatchcase(path, p) else "0" for p in patterns)
    # The folding compares the Windows rules; the letters of other scripts
    # are lowered there by the system, so only ASCII text is compared here.
    folded = "".join("1" if fnmatch.fnmatchcase(ntpath.normcase(path), ntpath.normcase(p)) else "0"
                     for p in patterns)
    if not (path + "".join(patterns)).isascii():
        folded = None
    cpp = _text(cpp)
    if folded is None:
        folded = cpp.split("|")[1]
    expected = f"{plain}|{folded}|{int(ignored(path, patterns))}"
    return "" if cpp == expected else f"expected {expected}, got {cpp} for {path!r} {patterns!r}"


# --- launcher.py ------------------------------------------------------------

def launcher(data, cpp):
    """cpp: for each line (split after "\\n"), the app_name and version values
    ("" when the line does not match), joined by "\\0"."""
    out = []
    for line in re.findall(r"[^\n]*\n|[^\n]+\Z", _text(data)):
        for key in ("app_name", "version"):
            m = re.match(key + r'\s*=\s*"([^"]+)"', line)
            out.append(m.group(1) if m else "")
    expected = "\0".join(out)
    cpp = _text(cpp)
    return "" if cpp == expected else f"expected {expected!r}, got {cpp!r}"
