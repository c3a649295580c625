"""The library's JSON reader and writer against Python's json module as the
oracle: the same values (written back as json.dumps writes them) and the same
failure messages for many generated documents, valid and malformed; the
publisher's "failed to parse" lines carry those same messages."""
import json
import math
import random
import struct

import pytest

from tarvik_cmd._tarvik_cmd.core import json_roundtrip
from publish_fixtures import make_build
from tarvik_cmd.publish import publish

INT64 = (-(2 ** 63), 2 ** 64 - 1)


def oracle(text):
    """What the library must give for the text: the dumps forms, or the failure."""
    try:
        value = json.loads(text)
    except (ValueError, RecursionError) as e:
        return type(e).__name__ if not isinstance(e, ValueError) else "ValueError", str(e)
    compact = json.dumps(value, ensure_ascii=False)
    return "ok", (compact, len(compact), json.dumps(value, indent=2, ensure_ascii=False))


def ours(text):
    try:
        return "ok", json_roundtrip(text)
    except (ValueError, RecursionError) as e:
        return type(e).__name__ if not isinstance(e, ValueError) else "ValueError", str(e)


def within_known_limits(text):
    """False for the two documented differences: integers beyond 64 bits and
    lone surrogates, which Python keeps and the library cannot."""
    try:
        value = json.loads(text)
    except (ValueError, RecursionError):
        return True

    def fits(v):
        if isinstance(v, bool) or v is None or isinstance(v, float):
            return True
        if isinstance(v, int):
            return INT64[0] <= v <= INT64[1]
        if isinstance(v, str):
            return not any(0xD800 <= ord(c) <= 0xDFFF for c in v)
        if isinstance(v, list):
            return all(fits(x) for x in v)
        return all(fits(k) and fits(x) for k, x in v.items())
    return fits(value)


# --- generated documents

CHARS = ["a", "Z", " ", "\u00e9", "\u4e2d", "\U0001F600", "\u2028", "\x7f", "/", "'", "\u0600", "\ufeff"]
ESCAPES = ['\\"', "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t", "\\u0000", "\\u001f", "\\u00e9", "\\u00E9",
           "\\ud83d\\ude00", "\\uD834\\uDD1E", "\\u2028", "\\u0041"]
FLOATS = ["0.0", "-0.0", "1.5", "1e15", "1E16", "1e-5", "0.0001", "123.456e2", "5e-324", "1.7976931348623157e308",
          "1e400", "-1e400", "2.5E+3", "0.1", "1e22", "1234567890123456789.0", "9007199254740993.0"]
INTS = ["0", "-0", "7", "-12", "9223372036854775807", "-9223372036854775808", "18446744073709551615"]
WS = ["", "", "", " ", "\n", "\t", "\r\n", "  \n  "]


def gen_string(rng):
    parts = [rng.choice(CHARS if rng.random() < 0.6 else ESCAPES) for _ in range(rng.randint(0, 6))]
    return '"' + "".join(parts) + '"'


def gen_value(rng, depth):
    kind = rng.choices(["obj", "arr", "str", "num", "lit"], weights=[3, 2, 4, 4, 2] if depth < 4 else [0, 0, 4, 4, 2])[0]
    w = lambda: rng.choice(WS)  # noqa: E731
    if kind == "str":
        return gen_string(rng)
    if kind == "num":
        return rng.choice(FLOATS if rng.random() < 0.5 else INTS)
    if kind == "lit":
        return rng.choice(["true", "false", "null", "NaN", "Infinity", "-Infinity"])
    if kind == "arr":
        items = [gen_value(rng, depth + 1) for _ in range(rng.randint(0, 4))]
        return "[" + w() + ("," + w()).join(x + w() for x in items) + "]"
    keys = [gen_string(rng) if rng.random() < 0.5 else rng.choice(['"k"', '"files"', '"a"']) for _ in range(rng.randint(0, 5))]
    members = [k + w() + ":" + w() + gen_value(rng, depth + 1) + w() for k in keys]
    return "{" + w() + ("," + w()).join(members) + "}"


SPLICE = [",", ":", '"', "\\", "x", "\x01", "}", "]", "{", "[", " ", "\n", "\u00e9", "-", ".", "e", "0", "\\u", "tru",
          "\ufeff", "N", "I", "\\ud800"]


def mutate(rng, text):
    for _ in range(rng.randint(1, 2)):
        i = rng.randint(0, len(text))
        how = rng.random()
        if how < 0.35 and text:
            text = text[:i] + text[i + 1:]
        elif how < 0.75:
            text = text[:i] + rng.choice(SPLICE) + text[i:]
        elif how < 0.9:
            text = text[:i]
        else:
            text = text + rng.choice(["", " x", "]", "}", "\n1"])
    return text


@pytest.mark.parametrize("seed", range(300))
def test_generated_documents_read_and_write_as_python_does(seed):
    rng = random.Random(seed)
    for _ in range(12):
        text = rng.choice(WS) + gen_value(rng, 0) + rng.choice(WS)
        if rng.random() < 0.6:
            text = mutate(rng, text)
        if not within_known_limits(text):
            continue
        assert ours(text) == oracle(text), text


@pytest.mark.parametrize("seed", range(20))
def test_floats_are_written_in_repr_form(seed):
    rng = random.Random(70000 + seed)
    values = []
    while len(values) < 500:
        (f,) = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))
        if not math.isnan(f):
            values.append(f)
    values += [10.0 ** e for e in range(-8, 24)] + [1.5 * 10.0 ** e for e in range(-8, 24)]
    text = json.dumps(values)
    assert ours(text) == oracle(text)


@pytest.mark.parametrize("text", [
    "", "   ", "\ufeff{}", "{", "[", "[1,]", '{"a":1,}', '{"a" 1}', '{1: 2}', "[1 2]", "1 2", "1.", "1e", "1e+",
    "-", "-x", "--1", "01", "nul", "NaNx", "-Infinit", '"abc', '"\\', '"a\x01"', '"\\x"', '"\\u12"', '"\\uzzzz"',
    '"\\u1234', '"ab\\u12zz"', '"\\ud800\\uzzzz"', '"\\ud800\\u12', '"\\ud83d\\ude00"',
    '{\n  "k": [\n    1,\n    2\n  ]\n  "x": 1\n}', '{"\u00e9\u4e2d\U0001F600": tru}', '\u4e2d\n\u4e2d x',
    '{"a": 1, "a": 2, "b": 3, "a": 4}', "[NaN, Infinity, -Infinity, -0, -0.0, 1E400]",
])
def test_messages_and_values_of_edge_cases(text):
    assert ours(text) == oracle(text)


def test_known_limits_and_deep_nesting():
    # Integers beyond 64 bits become floats; lone surrogates are refused.
    assert json_roundtrip("[18446744073709551616]")[0] == "[1.8446744073709552e+19]"
    with pytest.raises(ValueError, match=r"^Unpaired surrogate in string: line 1 column 3 \(char 2\)$"):
        json_roundtrip('"\\ud800"')
    for opener, word in (("[", "array"), ('{"a":', "object")):
        with pytest.raises(RecursionError, match=f"^maximum recursion depth exceeded while decoding a JSON {word}"):
            json_roundtrip(opener * 100000)
        with pytest.raises(RecursionError):
            json.loads(opener * 100000)
    assert json_roundtrip("[" * 500 + "]" * 500)[1] == 1000


# --- the publisher's "failed to parse" lines carry the reader's messages

def publisher_line(ws, capsys, manifest=None, build_info=None):
    make_build(ws, {"a": b"1"}, manifest=manifest, build_info=build_info)
    assert publish("linux", "") is False
    return capsys.readouterr().out.splitlines()


def python_read_error(data):
    """The failure of json.load(open(path, encoding="utf-8")) for these bytes."""
    try:
        text = data.decode("utf-8").replace("\r\n", "\n").replace("\r", "\n")
        json.loads(text)
    except (ValueError, RecursionError) as e:
        return str(e)
    return None


@pytest.fixture
def ws(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


MALFORMED = [b'{"app_name": "Shop",\r\n  "version": 1.0,,\r\n}', b"{not json", b'\xef\xbb\xbf{"app_name": "Shop"}',
             b'{"app_name": NaN, "version": tru}', '{"app_name": "\u00e9\u4e2d", x}'.encode(),
             b'{"app_name": "Shop"\r"version": "1"}', b"[" * 3000, b"", b'{"a": "\\u12"}']


@pytest.mark.parametrize("data", MALFORMED)
def test_publisher_prints_the_same_parse_message_as_the_update_client(ws, capsys, data):
    expected = python_read_error(data)
    assert expected is not None
    assert publisher_line(ws, capsys, manifest=data) == ["[publisher] failed to parse manifest: " + expected]
    # build.json goes through the same reader
    assert publisher_line(ws, capsys, build_info=data.decode())[-1] == (
        "[publisher] failed to parse build.json: " + expected)
    # the update client's reader gives the same text (without the file's newline translation)
    if b"\r" not in data:
        with pytest.raises((ValueError, RecursionError)) as e:
            json_roundtrip(data.decode())
        assert str(e.value) == expected


UTF8_PIECES = [b"a", b"\x80", b"\xbf", b"\xc0", b"\xc1", b"\xc2", b"\xdf", b"\xe0", b"\xa0", b"\xed", b"\x9f",
               b"\xef", b"\xf0", b"\x90", b"\xf4", b"\x8f", b"\xf5", b"\xff", "\u00e9".encode(), "\U0001F600".encode()]


@pytest.mark.parametrize("seed", range(40))
def test_utf8_failures_are_described_as_python_decodes_them(ws, capsys, seed):
    rng = random.Random(90000 + seed)
    checked = 0
    for _ in range(10):
        data = b'{"app_name": "' + b"".join(rng.choice(UTF8_PIECES) for _ in range(rng.randint(1, 6)))
        if rng.random() < 0.5:
            data += b'", "version": "1"}'
        try:
            data.decode("utf-8")
            continue
        except UnicodeDecodeError as e:
            expected = str(e)
        assert publisher_line(ws, capsys, manifest=data) == ["[publisher] failed to parse manifest: " + expected]
        checked += 1
    assert checked


# --- text forms of values as the publisher prints them (str() of what json.load gave)

def test_values_print_as_python_prints_them(ws, capsys):
    import unicodedata
    from tarvik_cmd._tarvik_cmd.core import printable_unicode_version
    if unicodedata.unidata_version != printable_unicode_version():
        pytest.skip("this Python's Unicode version differs from the library's table")
    every = "".join(chr(c) for c in range(0x110000) if not 0xD800 <= c <= 0xDFFF)
    os_value = [every[i:i + 4096] for i in range(0, len(every), 4096)] + [1e15, 1e16, 1e-5, -0.0, 0.1, 2 ** 63]
    arch_value = {"n": 1e22, "q'": "it's", "qq": "\"'", "c": "\x00\x7f\x85\u0600\u200b\U000e0001\U0010ffff"}
    manifest = {"app_name": "Shop", "version": 1.5, "os": os_value, "arch": arch_value}
    out = publisher_line(ws, capsys, manifest=json.dumps(manifest, ensure_ascii=False).encode())
    assert out[0] == f"[publisher] local manifest: app_name=Shop, version=1.5, os={os_value}, arch={arch_value}"
