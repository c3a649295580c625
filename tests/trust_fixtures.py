"""Signed installations and releases for the update client's trust tests: the
publisher's key, an installation that pins it, and releases the server holds
with their statements (genuine, forged, replayed)."""
import json
import sys
from pathlib import Path
from types import SimpleNamespace

import pytest

from tarvik_cmd import signing
from update_fixtures import (APP, MANIFEST, EXE_SCRIPT, make_install, manifest, private_tmp, publish_version,
                             staging_dirs, tree, update_server)

KEY_FILE = signing.PINNED_KEY_FILE
STATEMENT = MANIFEST + signing.STATEMENT_SUFFIX


def new_key(folder, name):
    """A private key file (and its .pub) under folder; returns (path, public PEM)."""
    path = Path(folder) / f"{name}.pem"
    pub = signing.generate_key(str(path))
    return str(path), pub


class Site:
    """An installation on disk and the fault server on the built-in base URL."""

    def __init__(self, tmp_path, monkeypatch, systmp):
        self.www = tmp_path / "www"
        (self.www / "auth").mkdir(parents=True)
        self.keys = tmp_path / "keys"
        self.keys.mkdir()
        self.install = tmp_path / "install"
        self.outside = tmp_path / "outside"
        self.tmp = systmp
        self.srv = update_server(self.www)
        self._monkeypatch = monkeypatch

    def installed(self, files, version="1.0", pub=None, key=None, counter=None, **kw):
        """The installation; with pub it pins that key (shipped as a listed
        file), with key and counter it holds its own statement."""
        files = dict(files)
        if pub is not None:
            files[KEY_FILE] = pub.encode()
        exe = make_install(self.install, files, version=version, **kw)
        if key is not None:
            signing.sign_manifest(str(self.install / MANIFEST), key, counter=counter or 0)
        self._monkeypatch.setattr(sys, "executable", exe)
        return exe

    def release(self, version, files, key=None, counter=0, doc=None, **sign):
        """What the server holds for a version, signed with key when given."""
        doc = publish_version(self.www, version, files, doc=doc)
        if key is not None:
            signing.sign_manifest(str(self.served_manifest), key, counter=counter, **sign)
        return doc

    @property
    def served_manifest(self):
        return self.www / "auth" / MANIFEST

    @property
    def served_statement(self):
        return self.www / "auth" / STATEMENT

    def snapshot(self):
        """Every byte of the installation, and where links point."""
        links = {str(p.relative_to(self.install)): str(p.readlink())
                 for p in self.install.rglob("*") if p.is_symlink()}
        return tree(self.install), links

    def close(self):
        self.srv.close()


@pytest.fixture
def site(tmp_path, monkeypatch, private_tmp):
    s = Site(tmp_path, monkeypatch, private_tmp)
    yield s
    s.close()


@pytest.fixture
def publisher(site):
    """The publisher's key pair."""
    path, pub = new_key(site.keys, "publisher")
    return SimpleNamespace(key=path, pub=pub)


def released_files(files, pub):
    """The files of a signed release: the shipped key is one of them."""
    return {**files, KEY_FILE: pub.encode()}
