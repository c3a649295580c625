"""The manifest fetch and the HEAD probe against a misbehaving server."""
import json
import math
import random
import urllib.error

import pytest

from faultserver import FaultServer, Reply, free_port
from tarvik_cmd import auto_update as au

GOOD = {"app_name": "Shop", "version": "1.2", "os": "linux", "arch": "x64",
        "files": {"b.txt": "0" * 64, "a.txt": "1" * 64}}


@pytest.fixture
def srv():
    s = FaultServer()
    yield s
    s.close()


def attempt_lines(out):
    return [l for l in out.splitlines() if l.startswith("[Update] Fetch manifest attempt")]


class TestFetchManifest:
    def test_valid_manifest_keeps_member_order_and_sends_the_user_agent(self, srv, capsys):
        srv.script("/m.json", Reply(200, json.dumps(GOOD).encode()))
        got = au._fetch_manifest(srv.url("/m.json"))
        assert got == GOOD and list(got["files"]) == ["b.txt", "a.txt"]
        (req,) = srv.requests("/m.json")
        assert req.headers["User-Agent"] == "Ostervane-Updater"
        assert "Range" not in req.headers
        assert capsys.readouterr().out == ""

    def test_blank_body_fails_three_times_with_growing_waits(self, srv, capsys):
        srv.script("/m.json", Reply(200, b"   \n"))
        with pytest.raises(RuntimeError, match=r"^empty response \(0 bytes\)$"):
            au._fetch_manifest(srv.url("/m.json"))
        assert attempt_lines(capsys.readouterr().out) == [
            f"[Update] Fetch manifest attempt {n}/3 failed: empty response (0 bytes)" for n in (1, 2, 3)]
        t = [r.when for r in srv.requests("/m.json")]
        assert len(t) == 3
        # the waits are 1 s after the first attempt and 2 s after the second
        assert t[1] - t[0] >= 1.0 and t[2] - t[1] >= 2.0

    def test_recovers_after_a_server_error(self, srv, capsys):
        srv.script("/m.json", Reply(503, b"busy"), Reply(200, json.dumps(GOOD).encode()))
        assert au._fetch_manifest(srv.url("/m.json"))["version"] == "1.2"
        assert attempt_lines(capsys.readouterr().out) == [
            "[Update] Fetch manifest attempt 1/3 failed: HTTP Error 503: Service Unavailable"]

    def test_follows_redirects(self, srv):
        srv.script("/old.json", Reply(302, b"moved", {"Location": "/m.json"}))
        srv.script("/m.json", Reply(200, json.dumps(GOOD).encode()))
        assert au._fetch_manifest(srv.url("/old.json"), 1)["app_name"] == "Shop"

    @pytest.mark.parametrize("body, text", [
        (b"[1, 2]", "manifest is not an object, got list"),
        (b'"text"', "manifest is not an object, got str"),
        (b"12", "manifest is not an object, got int"),
        (b"1.5", "manifest is not an object, got float"),
        (b"null", "manifest is not an object, got NoneType"),
        (b'{"app_name": "Shop"}', "missing required fields: ['version', 'files']"),
        (b'{"version": "1", "files": {}}', "missing required fields: ['app_name']"),
        (b'{"app_name": "a", "version": "1", "files": []}', "'files' field is not an object, got list"),
        (b'{"app_name": "a", "version": "1", "files": true}', "'files' field is not an object, got bool"),
    ])
    def test_validation_failures(self, srv, body, text):
        srv.script("/m.json", Reply(200, body))
        with pytest.raises(RuntimeError) as e:
            au._fetch_manifest(srv.url("/m.json"), 1)
        assert str(e.value) == text

    def test_html_page_is_quoted_up_to_200_bytes(self, srv):
        page = b"<html>\n<body>It's an error page" + b"x" * 300
        srv.script("/m.json", Reply(200, page))
        with pytest.raises(RuntimeError) as e:
            au._fetch_manifest(srv.url("/m.json"), 1)
        assert str(e.value) == "non-JSON response: " + repr(page[:200].decode())

    def test_invalid_utf8_is_shown_with_replacement_characters(self, srv):
        srv.script("/m.json", Reply(200, b'{"a": "\xff\xfe"}'))
        with pytest.raises(RuntimeError) as e:
            au._fetch_manifest(srv.url("/m.json"), 1)
        assert str(e.value) == "non-JSON response: " + repr('{"a": "\ufffd\ufffd"}')

    def test_generated_invalid_utf8_is_shown_as_python_decodes_it(self, srv):
        pieces = [b"a", b"'", b"\x80", b"\xbf", b"\xc0", b"\xc2", b"\xe0", b"\xa0", b"\xed", b"\x9f", b"\xf0",
                  b"\x90", b"\xf4", b"\x8f", b"\xff", "\u00e9\u0600".encode(), "\U0001F600".encode()]
        rng = random.Random(4242)
        for _ in range(40):
            body = b'{"a": "' + b"".join(rng.choice(pieces) for _ in range(rng.randint(1, 8))) + b'"}'
            srv.script("/m.json", Reply(200, body))
            with pytest.raises(RuntimeError) as e:
                au._fetch_manifest(srv.url("/m.json"), 1)
            if body.decode("utf-8", "replace").encode() != body:
                assert str(e.value) == "non-JSON response: " + repr(body[:200].decode("utf-8", "replace"))

    def test_byte_order_mark_is_not_json(self, srv):
        srv.script("/m.json", Reply(200, b"\xef\xbb\xbf" + json.dumps(GOOD).encode()))
        with pytest.raises(RuntimeError, match="^non-JSON response: "):
            au._fetch_manifest(srv.url("/m.json"), 1)

    @pytest.mark.parametrize("key", ["../evil", "/etc/passwd", "C:/x", "a//b", "a/../../b", "a\\b",
                                     "a\u0000b", "", "a/", "./a"])
    def test_unsafe_paths_make_the_manifest_invalid(self, srv, key):
        doc = dict(GOOD, files={"ok.txt": "0" * 64, key: "1" * 64})
        srv.script("/m.json", Reply(200, json.dumps(doc).encode()))
        with pytest.raises(RuntimeError) as e:
            au._fetch_manifest(srv.url("/m.json"), 1)
        assert str(e.value) == "unsafe path in 'files': " + repr(key)

    def test_the_files_member_that_wins_is_the_one_checked(self, srv):
        safe, unsafe = '{"ok.txt": "%s"}' % ("0" * 64), '{"../evil": "%s"}' % ("1" * 64)
        head = '{"app_name": "Shop", "version": "1.2", '
        # json.loads keeps the last copy of a repeated member: a hostile first copy is gone
        body = (head + f'"files": {unsafe}, "files": {safe}}}').encode()
        srv.script("/m.json", Reply(200, body))
        assert au._fetch_manifest(srv.url("/m.json"), 1) == json.loads(body)
        # and a hostile last copy is the manifest's "files"
        srv.script("/m.json", Reply(200, (head + f'"files": {safe}, "files": {unsafe}}}').encode()))
        with pytest.raises(RuntimeError) as e:
            au._fetch_manifest(srv.url("/m.json"), 1)
        assert str(e.value) == "unsafe path in 'files': '../evil'"

    def test_unsafe_paths_are_quoted_as_repr_quotes_them(self, srv):
        # unassigned, private-use and format characters are escaped, as str.isprintable() has it
        for key in ["../\u0600", "../\u200b\ue000\U000e0001", "../\u0378x", "../it's", "../\U0001F600\u00e9"]:
            srv.script("/m.json", Reply(200, json.dumps(dict(GOOD, files={key: "0" * 64}), ensure_ascii=False).encode()))
            with pytest.raises(RuntimeError) as e:
                au._fetch_manifest(srv.url("/m.json"), 1)
            assert str(e.value) == "unsafe path in 'files': " + repr(key)

    def test_read_like_python_json(self, srv):
        body = (b'{"app_name": "S", "version": 1e2, "files": {"b": "1", "a": "2", "b": "3"}, '
                b'"extra": [NaN, -Infinity, 12345678901234567890, "\\u00e9\\ud83d\\ude00\\n"]}')
        srv.script("/m.json", Reply(200, body))
        got = au._fetch_manifest(srv.url("/m.json"), 1)
        assert list(got["files"].items()) == [("b", "3"), ("a", "2")]
        assert got["version"] == 100.0 and got["extra"][2] == 12345678901234567890
        assert got["extra"][3] == "\u00e9\U0001f600\n" and got["extra"][1] == float("-inf")

    def test_numbers_out_of_range_read_like_python(self, srv):
        body = (b'{"app_name": "S", "version": "1", "files": {}, '
                b'"x": [1e-400, -1e-400, 1e999, -1E+999, 4.9e-324, 2.5e-320, 0.1, 1.7976931348623157e308]}')
        srv.script("/m.json", Reply(200, body))
        got = au._fetch_manifest(srv.url("/m.json"), 1)["x"]
        assert got == json.loads(body)["x"]
        assert [math.copysign(1, v) for v in got[:2]] == [1, -1]

    def test_deep_nesting_is_refused_without_crashing(self, srv):
        srv.script("/m.json", Reply(200, b"[" * 200_000))
        with pytest.raises(RuntimeError, match="^non-JSON response: "):
            au._fetch_manifest(srv.url("/m.json"), 1)

    def test_body_without_end_is_cut_off_at_64_mib(self, srv, capsys):
        # about 72 MiB without a length: the answer of a server that streams on and on
        srv.script("/m.json", Reply(200, b"x" * 65536, repeat=1150))
        with pytest.raises(RuntimeError) as e:
            au._fetch_manifest(srv.url("/m.json"), 1)
        assert str(e.value) == "response body longer than 67108864 bytes"
        assert attempt_lines(capsys.readouterr().out) == [
            "[Update] Fetch manifest attempt 1/1 failed: response body longer than 67108864 bytes"]

    def test_manifest_just_under_the_limit_is_read(self, srv):
        doc = dict(GOOD, pad="")
        doc["pad"] = "p" * ((64 << 20) - len(json.dumps(doc)))
        body = json.dumps(doc).encode()
        assert len(body) == 64 << 20
        srv.script("/m.json", Reply(200, body))
        assert au._fetch_manifest(srv.url("/m.json"), 1) == doc

    def test_http_error_keeps_its_status(self, srv, capsys):
        srv.script("/m.json", Reply(404, b"no"))
        with pytest.raises(urllib.error.HTTPError) as e:
            au._fetch_manifest(srv.url("/m.json"), 2)
        assert e.value.code == 404
        assert len(attempt_lines(capsys.readouterr().out)) == 2

    @pytest.mark.parametrize("fetch", [lambda url: au._fetch_manifest(url, 1),
                                       lambda url: au._download(url, "/dev/null", 1)])
    def test_reason_phrase_is_read_as_latin_1(self, srv, capsys, fetch):
        srv.script("/m.json", Reply(404, b"no", reason="Nicht gefunden \xff"))
        with pytest.raises(urllib.error.HTTPError) as e:
            fetch(srv.url("/m.json"))
        assert e.value.code == 404 and e.value.reason == "Nicht gefunden \xff"
        assert str(e.value) == "HTTP Error 404: Nicht gefunden \xff"

    def test_refused_connection_is_a_url_error(self, capsys):
        with pytest.raises(urllib.error.URLError) as e:
            au._fetch_manifest(f"http://127.0.0.1:{free_port()}/m.json", 1)
        assert not isinstance(e.value, urllib.error.HTTPError)
        assert "Connection refused" in str(e.value.reason)
        assert "failed: <urlopen error" in capsys.readouterr().out

    @pytest.mark.parametrize("reply", [Reply(drop=True), Reply(reset=True),
                                       Reply(200, json.dumps(GOOD).encode(), truncate_to=10)])
    def test_broken_connections_while_reading_are_os_errors(self, srv, reply):
        srv.script("/m.json", reply)
        with pytest.raises(OSError) as e:
            au._fetch_manifest(srv.url("/m.json"), 1)
        assert not isinstance(e.value, urllib.error.URLError)
        assert isinstance(e.value, ConnectionError)


class TestHeadProbe:
    def test_success_uses_head(self, srv):
        srv.script("/f", Reply(200, b"12345"))
        assert au._url_head_ok(srv.url("/f")) == (True, "HTTP 200")
        assert [r.method for r in srv.log] == ["HEAD"]

    def test_404_gives_up_at_once(self, srv):
        srv.script("/f", Reply(404))
        assert au._url_head_ok(srv.url("/f"), 5.0, 3) == (False, "HTTP 404")
        assert len(srv.requests("/f")) == 1

    def test_server_error_is_retried_after_one_second(self, srv):
        srv.script("/f", Reply(500))
        assert au._url_head_ok(srv.url("/f")) == (False, "HTTP 500")
        a, b = srv.requests("/f")
        assert b.when - a.when >= 1.0

    def test_recovers_on_the_second_attempt(self, srv):
        srv.script("/f", Reply(502), Reply(204))
        assert au._url_head_ok(srv.url("/f")) == (True, "HTTP 204")

    def test_transport_failures_are_named_by_kind(self, srv):
        srv.script("/slow", Reply(200, delay=3))
        srv.script("/reset", Reply(reset=True))
        assert au._url_head_ok(srv.url("/slow"), 0.3, 1) == (False, "TimeoutError")
        assert au._url_head_ok(srv.url("/reset"), 2.0, 1) == (False, "ConnectionResetError")
        assert au._url_head_ok(f"http://127.0.0.1:{free_port()}/x", 2.0, 1) == (False, "URLError")

    def test_other_failures_carry_kind_and_text(self):
        ok, reason = au._url_head_ok("no-scheme-here", 1.0, 1)
        assert not ok and reason.startswith("ValueError: ") and len(reason) <= len("ValueError: ") + 40


class TestReachability:
    def test_listening_port_is_reachable(self, srv):
        assert au._can_reach_server(srv.url("/auth"))
        assert srv.log == []  # nothing is sent

    def test_closed_port_is_unreachable(self):
        assert au._can_reach_server(f"http://127.0.0.1:{free_port()}/x/", 1.0) is False

    def test_unresolvable_host_is_unreachable(self):
        assert au._can_reach_server("http://no-such-host.invalid/", 1.0) is False

    @pytest.mark.parametrize("url", ["ftp://127.0.0.1:1/", "http://127.0.0.1:notaport/", "/just/a/path"])
    def test_checks_that_cannot_be_made_count_as_reachable(self, url):
        assert au._can_reach_server(url, 1.0) is True
