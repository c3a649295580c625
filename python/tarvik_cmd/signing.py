"""Signing of update releases: the publisher's Ed25519 key and the signed
statement written beside each update manifest.

``generate_key()`` makes a key pair once (the private key in the user's
configuration folder, readable by its owner only). Name it in builder.toml
(``[signing] key = "..."``) or in ``TARVIK_SIGNING_KEY`` and every build ships
the public key (installations pin it) and signs its manifest.
"""
from ._tarvik_cmd.signing import (
    DEFAULT_VALID_DAYS,
    KEY_ENV,
    PINNED_KEY_FILE,
    STATEMENT_SUFFIX,
    default_key_path,
    generate_key,
    key_id,
    public_key,
    sign_manifest,
    verify_statement,
)

__all__ = [
    "DEFAULT_VALID_DAYS",
    "KEY_ENV",
    "PINNED_KEY_FILE",
    "STATEMENT_SUFFIX",
    "default_key_path",
    "generate_key",
    "key_id",
    "public_key",
    "sign_manifest",
    "verify_statement",
]
