"""Stand-in for the framework's token package.

``encrypt_info()`` yields the community key (the update-channel key) first and
a signature of it second. The key is fixed for a development machine; set
TARVIK_TOKEN_KEY to choose another channel.
"""
import hashlib
import os

_DEFAULT_KEY = "dev-channel-7f3a9c"


def encrypt_info():
    key = os.environ.get("TARVIK_TOKEN_KEY") or _DEFAULT_KEY
    signature = hashlib.sha256(("tarvik-token:" + key).encode("utf-8")).hexdigest()
    return key, signature
