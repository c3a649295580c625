"""A throw-away certificate authority and a server certificate for 127.0.0.1,
made with the openssl command."""
import shutil
import subprocess
from dataclasses import dataclass
from pathlib import Path

import pytest


@dataclass
class CertAuthority:
    ca_file: Path  # the authority's certificate (PEM)
    ca_dir: Path  # a hashed directory holding only that certificate
    cert: Path  # the server's certificate for 127.0.0.1 and localhost
    key: Path  # its key


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


def make_test_ca(folder):
    d = Path(folder)
    d.mkdir(parents=True, exist_ok=True)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    _openssl("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
             "-subj", "/CN=Tarvik Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=d)
    _openssl("req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1", cwd=d)
    (d / "server.ext").write_text("basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n"
                                  "subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    _openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
             "-out", "server.pem", "-days", "2", "-extfile", "server.ext", cwd=d)
    hashed = d / "hashed"
    hashed.mkdir(exist_ok=True)
    shutil.copy(d / "ca.pem", hashed / "ca.pem")
    _openssl("rehash", str(hashed), cwd=d)
    return CertAuthority(d / "ca.pem", hashed, d / "server.pem", d / "server.key")


@pytest.fixture(scope="session")
def test_ca(tmp_path_factory):
    if shutil.which("openssl") is None:
        pytest.skip("the openssl command is not installed (scripts/setup.sh installs it)")
    return make_test_ca(tmp_path_factory.mktemp("test-ca"))


@pytest.fixture
def no_ca_env(monkeypatch):
    """No trust chosen through the environment: the system's own bundle."""
    for name in ("SSL_CERT_FILE", "SSL_CERT_DIR", "CURL_CA_BUNDLE"):
        monkeypatch.delenv(name, raising=False)
    return monkeypatch
