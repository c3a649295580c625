"""Which certificate authorities the update client trusts: the ones Python
programs are pointed at (SSL_CERT_FILE, SSL_CERT_DIR, CURL_CA_BUNDLE), else the
system's own bundle, never the path compiled into libcurl."""
import json
import os
import urllib.error

import pytest

from faultserver import FaultServer, Reply
from tarvik_cmd import auto_update as au
from tls_fixtures import no_ca_env, test_ca  # noqa: F401  (fixtures)

BODY = b"served over TLS " * 1000
MANIFEST = {"app_name": "Shop", "version": "2.0", "files": {"a.txt": "0" * 64}}


@pytest.fixture
def https(test_ca, tmp_path):
    www = tmp_path / "www"
    www.mkdir()
    (www / "f.bin").write_bytes(BODY)
    s = FaultServer(root=www, tls=(str(test_ca.cert), str(test_ca.key)))
    s.script("/m.json", Reply(200, json.dumps(MANIFEST).encode()))
    yield s
    s.close()


class TestTrustFromTheEnvironment:
    @pytest.mark.parametrize("variable", ["SSL_CERT_FILE", "CURL_CA_BUNDLE"])
    def test_a_named_bundle_is_trusted(self, https, test_ca, no_ca_env, tmp_path, variable):
        no_ca_env.setenv(variable, str(test_ca.ca_file))
        dest = tmp_path / "f.bin"
        au._download(https.url("/f.bin"), dest, 1)
        assert dest.read_bytes() == BODY
        assert au._fetch_manifest(https.url("/m.json"), 1) == MANIFEST
        assert au._url_head_ok(https.url("/f.bin"), 5.0, 1) == (True, "HTTP 200")

    def test_a_named_hashed_directory_is_trusted(self, https, test_ca, no_ca_env, tmp_path):
        no_ca_env.setenv("SSL_CERT_DIR", str(test_ca.ca_dir))
        assert au._download_range(https.url("/f.bin"), _file(tmp_path, len(BODY)), 0, 99, 1) is True

    def test_changes_to_os_environ_count_from_the_next_call(self, https, test_ca, no_ca_env, tmp_path):
        no_ca_env.setenv("SSL_CERT_FILE", str(test_ca.ca_file))
        au._download(https.url("/f.bin"), tmp_path / "a", 1)
        no_ca_env.delenv("SSL_CERT_FILE")
        with pytest.raises(urllib.error.URLError):
            au._download(https.url("/f.bin"), tmp_path / "b", 1)


class TestRefused:
    def test_an_unknown_authority_is_refused_as_a_url_error(self, https, no_ca_env, tmp_path, capsys):
        dest = tmp_path / "f.bin"
        with pytest.raises(urllib.error.URLError) as e:
            au._download(https.url("/f.bin"), dest, 1)
        assert not isinstance(e.value, urllib.error.HTTPError)
        assert "certificate" in str(e.value.reason).lower()
        assert not dest.exists()
        assert au._url_head_ok(https.url("/f.bin"), 5.0, 1) == (False, "URLError")
        with pytest.raises(urllib.error.URLError):
            au._fetch_manifest(https.url("/m.json"), 1)
        # nothing was ever answered: every handshake failed
        assert https.requests() == []

    def test_an_empty_variable_counts_as_unset(self, https, no_ca_env, tmp_path):
        no_ca_env.setenv("SSL_CERT_FILE", "")
        with pytest.raises(urllib.error.URLError):
            au._download(https.url("/f.bin"), tmp_path / "f", 1)

    def test_a_bundle_that_does_not_exist_fails_the_handshake(self, https, no_ca_env, tmp_path):
        no_ca_env.setenv("SSL_CERT_FILE", str(tmp_path / "missing.pem"))
        with pytest.raises(urllib.error.URLError):
            au._download(https.url("/f.bin"), tmp_path / "f", 1)

    def test_curl_ca_bundle_wins_over_ssl_cert_file(self, https, test_ca, no_ca_env, tmp_path):
        no_ca_env.setenv("SSL_CERT_FILE", str(test_ca.ca_file))
        no_ca_env.setenv("CURL_CA_BUNDLE", str(tmp_path / "missing.pem"))
        with pytest.raises(urllib.error.URLError):
            au._download(https.url("/f.bin"), tmp_path / "f", 1)


def test_urllib_agrees(https, test_ca, no_ca_env):
    """The same certificate files satisfy Python's own client: the test CA is sound."""
    import ssl
    import urllib.request

    ctx = ssl.create_default_context(cafile=str(test_ca.ca_file))
    with urllib.request.urlopen(https.url("/f.bin"), context=ctx) as r:
        assert r.read() == BODY


def _file(tmp_path, size):
    p = tmp_path / "range.bin"
    p.write_bytes(b"\0" * size)
    return p
