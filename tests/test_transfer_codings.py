"""How the update client meets ordinary web servers: content codings, status
lines without a reason phrase, failures on the local side, a server that
refuses ranges, and a server that denies dot-files."""
import gzip
import hashlib
import json
import random
import sys
import urllib.error
from types import SimpleNamespace

import pytest

from faultserver import FaultServer, Reply
from tarvik_cmd import auto_update as au
from update_fixtures import (APP, DISPLAY, EXE_SCRIPT, MANIFEST, Widgets, make_install, manifest, private_tmp,
                             publish_version, update_server, wait_for)

GOOD = {"app_name": "Shop", "version": "1.2", "os": "linux", "arch": "x64", "files": {"a.txt": "1" * 64}}
DATA = random.Random(7).randbytes(300000)


@pytest.fixture
def srv(tmp_path):
    www = tmp_path / "www"
    www.mkdir()
    (www / "f.bin").write_bytes(DATA)
    s = FaultServer(root=www)
    yield s
    s.close()


def gz(data):
    return gzip.compress(data)


class TestContentCodings:
    def test_manifest_offers_compression_and_is_decoded(self, srv):
        srv.script("/m.json", Reply(200, gz(json.dumps(GOOD).encode()), {"Content-Encoding": "gzip"}))
        assert au._fetch_manifest(srv.url("/m.json"), 1) == GOOD
        offered = [c.strip().split(";")[0] for c in srv.requests("/m.json")[0].headers["Accept-Encoding"].split(",")]
        assert "gzip" in offered and "identity" not in offered

    def test_files_are_asked_for_uncompressed(self, srv, tmp_path):
        au._download(srv.url("/f.bin"), tmp_path / "f", 1)
        dest = tmp_path / "r"
        dest.write_bytes(bytes(len(DATA)))
        assert au._download_range(srv.url("/f.bin"), dest, 10, 20, 1) is True
        assert [r.headers.get("Accept-Encoding") for r in srv.requests("/f.bin")] == ["identity", "identity"]

    @pytest.mark.parametrize("ranged", [False, True])
    def test_a_whole_file_compressed_unasked_is_stored_decoded(self, srv, tmp_path, ranged):
        srv.script("/g.bin", Reply(200, gz(DATA), {"Content-Encoding": "gzip"}))
        dest = tmp_path / "g.bin"
        if ranged:
            dest.write_bytes(b"old")
            assert au._download_range(srv.url("/g.bin"), dest, 0, 99, 1) is False
        else:
            au._download(srv.url("/g.bin"), dest, 1)
        assert dest.read_bytes() == DATA

    def test_a_compressed_range_fails_and_writes_nothing(self, srv, tmp_path):
        srv.script("/g.bin", Reply(206, gz(DATA[100:200]), {"Content-Encoding": "gzip",
                                                              "Content-Range": f"bytes 100-199/{len(DATA)}"}))
        dest = tmp_path / "g.bin"
        dest.write_bytes(bytes(300))
        with pytest.raises(RuntimeError, match=r"compressed body \(Content-Encoding: gzip\)"):
            au._download_range(srv.url("/g.bin"), dest, 100, 199, 2)
        assert dest.read_bytes() == bytes(300)
        assert len(srv.requests("/g.bin")) == 2  # the server's fault: asked again

    def test_an_unknown_coding_fails_and_leaves_the_file(self, srv, tmp_path):
        srv.script("/g.bin", Reply(200, b"\x00\x01packed", {"Content-Encoding": "x-made-up"}))
        dest = tmp_path / "g.bin"
        dest.write_bytes(b"precious")
        with pytest.raises(RuntimeError, match="(?i)content encoding"):
            au._download(srv.url("/g.bin"), dest, 1)
        assert dest.read_bytes() == b"precious"


class TestReasonPhrase:
    @pytest.mark.parametrize("status, sent, shown", [
        (404, "", "Not Found"), (503, "", "Service Unavailable"), (418, "", "I'm a Teapot"),
        (404, "Gone Fishing", "Gone Fishing"), (599, "", "")])
    def test_an_empty_phrase_reads_as_the_standard_one(self, srv, tmp_path, capsys, status, sent, shown):
        srv.script("/x", Reply(status, b"", reason=sent))
        with pytest.raises(urllib.error.HTTPError) as e:
            au._download(srv.url("/x"), tmp_path / "x", 1)
        assert e.value.code == status and e.value.reason == shown
        assert str(e.value) == f"HTTP Error {status}: {shown}"
        with pytest.raises(urllib.error.HTTPError):
            au._fetch_manifest(srv.url("/x"), 1)
        assert capsys.readouterr().out == f"[Update] Fetch manifest attempt 1/1 failed: HTTP Error {status}: {shown}\n"


class TestLocalFailuresAreNotRetried:
    def test_range_into_a_missing_file(self, srv, tmp_path):
        with pytest.raises(FileNotFoundError):
            au._download_range(srv.url("/f.bin"), tmp_path / "nope", 0, 9, 3)
        assert len(srv.requests("/f.bin")) == 1

    def test_download_onto_a_folder(self, srv, tmp_path):
        (tmp_path / "dir").mkdir()
        with pytest.raises(IsADirectoryError):
            au._download(srv.url("/f.bin"), tmp_path / "dir", 3)
        assert len(srv.requests("/f.bin")) == 1

    def test_a_server_failure_is_still_retried(self, srv, tmp_path):
        srv.script("/f.bin", Reply(503), Reply(200, b"ok"))
        au._download(srv.url("/f.bin"), tmp_path / "f", 3)
        assert (tmp_path / "f").read_bytes() == b"ok" and len(srv.requests("/f.bin")) == 2


# ---- through check_update, on the built-in base URL ----

BS = 65536
EXE = EXE_SCRIPT.encode()


def blob(seed, n):
    return random.Random(seed).randbytes(n)


@pytest.fixture
def site(tmp_path, monkeypatch, private_tmp):
    www = tmp_path / "www"
    www.mkdir()
    ns = SimpleNamespace(www=www, srv=None, install=tmp_path / "install")

    def serve(**kw):
        ns.srv = update_server(www, **kw)
        return ns.srv

    def installed(files, **kw):
        monkeypatch.setattr(sys, "executable", make_install(ns.install, files, **kw))

    ns.serve, ns.installed = serve, installed
    yield ns
    # a started update script runs to its end before the folders go
    wait_for(lambda: not (ns.install / "update.sh").exists(), "the update script to finish")
    if ns.srv:
        ns.srv.close()


def run(capsys, widgets=None, version="1.0"):
    w = widgets or Widgets()
    result = au.check_update(APP, version, w.label, w.bar)
    return result, capsys.readouterr().out.splitlines(), w


def progress_numbers(text):
    """(done MB, total MB, percent) of a progress text."""
    numbers = text.rsplit("  ", 1)[1]
    done, rest = numbers.split("MB / ")
    total, pct = rest.split("MB (")
    return float(done), float(total), int(pct.rstrip("%)"))


class TestProgressNeverPassesTheTotal:
    def test_whole_file_sent_for_a_range_counts_into_the_total(self, site, capsys, monkeypatch):
        monkeypatch.setenv("TARVIK_UPDATE_CONNECTIONS", "1")  # z.txt is shown last only in list order
        site.serve(honour_ranges=False)
        big1 = blob(1, 16 * BS)
        big2 = big1[:3 * BS] + blob(2, BS) + big1[4 * BS:]
        site.installed({"Shop": EXE, "big.bin": big1}, blocks={"big.bin": BS})
        publish_version(site.www, "2.0", {"Shop": EXE, "big.bin": big2, "z.txt": b"z" * 100000},
                        {"big.bin": BS})
        w = Widgets()
        assert run(capsys, w)[0] is True
        shown = [t for t in w.texts() if "MB / " in t]
        assert shown[0] == "Preparing to download 2 files  0.0MB / 0.1MB (0%)"
        # the 1 MiB file came whole where one 64 KiB block was planned
        assert shown[-1] == "Downloading z.txt  1.1MB / 1.1MB (100%)"
        for text in shown:
            done, total, pct = progress_numbers(text)
            assert done <= total and pct <= 100, text
        assert all(0 <= v <= 100 for v in w.values())

    def test_refetch_after_a_block_mismatch_counts_into_the_total(self, site, capsys, monkeypatch):
        monkeypatch.setenv("TARVIK_UPDATE_CONNECTIONS", "1")  # z.txt is shown last only in list order
        site.serve()
        big1 = blob(3, 8 * BS)
        big2 = big1[:BS] + blob(4, BS) + big1[2 * BS:]
        site.installed({"Shop": EXE, "big.bin": big1}, blocks={"big.bin": BS})
        doc = publish_version(site.www, "2.0", {"Shop": EXE, "big.bin": big2, "z.txt": b"z"}, {"big.bin": BS})
        # the whole-file hash names a copy that differs outside the changed block too:
        # the patched file mismatches and the whole file is fetched
        served = big2[:6 * BS] + blob(5, BS) + big2[7 * BS:]
        (site.www / "auth" / f"{APP}-2.0-{DISPLAY}" / "big.bin").write_bytes(served)
        doc["files"]["big.bin"]["sha256"] = hashlib.sha256(served).hexdigest()
        (site.www / "auth" / MANIFEST).write_text(json.dumps(doc))
        w = Widgets()
        result, out, _ = run(capsys, w)
        assert result is True
        assert "[Update] block verify mismatch for big.bin, falling back to full download" in out
        shown = [t for t in w.texts() if "MB / " in t]
        assert shown[-1] == "Downloading z.txt  0.6MB / 0.6MB (100%)"
        for text in shown:
            done, total, pct = progress_numbers(text)
            assert done <= total and pct <= 100, text


class TestProbe:
    def test_dot_files_are_passed_over(self, site, capsys):
        srv = site.serve()
        files = {".gitignore": b"*.tmp\n", ".config/x.ini": b"x", "Shop": EXE, "lib/a.so": b"a"}
        site.installed(files)
        publish_version(site.www, "2.0", {**files, "lib/a.so": b"a2"})
        folder = f"/auth/{APP}-2.0-{DISPLAY}/"
        srv.script(folder + ".gitignore", Reply(403, b"denied"))
        result, out, _ = run(capsys)
        assert result is True
        assert "[Update] Remote version folder verified via HEAD: Shop (HTTP 200)" in out
        assert [r.path for r in srv.requests(method="HEAD")] == [folder + "Shop"]

    def test_only_hidden_files_probe_the_first(self, site, capsys):
        srv = site.serve()
        files = {".gitignore": b"*.tmp\n", "lib/.keep": b""}
        site.installed(files)
        publish_version(site.www, "2.0", {**files, "lib/.keep": b"k"})
        srv.script(f"/auth/{APP}-2.0-{DISPLAY}/.gitignore", Reply(403, b"denied"))
        result, out, w = run(capsys)
        assert result is False
        assert out[-1].startswith("[Update] Update probe failed (HTTP 403), skipping update probe=")
        assert out[-1].endswith("/.gitignore")
