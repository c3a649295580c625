"""Command library of the Tarvik application framework.

Each operation module (``tarvik_cmd.build``, ``tarvik_cmd.auto_update``, ...)
re-exports its operations from the package's native extension
``tarvik_cmd._tarvik_cmd``.
"""
import os as _os

# A developer build (scripts/dev-build.sh BUILD_DIR) keeps the native module in
# its build folder; TARVIK_DEV_BUILD=BUILD_DIR lets the package sources find it
# there. An installed package finds its own module first.
if _os.environ.get("TARVIK_DEV_BUILD"):
    __path__.append(_os.path.abspath(_os.environ["TARVIK_DEV_BUILD"]))
