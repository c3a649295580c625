"""Command library of the Tarvik application framework.

Each operation module (``tarvik_cmd.build``, ``tarvik_cmd.auto_update``, ...)
re-exports its operations from the native extension ``_tarvik_cmd``.
"""
