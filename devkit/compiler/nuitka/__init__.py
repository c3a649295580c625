"""Development stand-in for the Nuitka compiler.

``python -m nuitka [options] main.py`` lays out a standalone build the way the
real compiler does on this platform, without compiling anything:

- ``<output-dir>/<stem>.dist/<stem>`` (``<stem>.cmd`` on Windows): an
  executable that runs the bundled main program ``<stem>.py`` with the
  interpreter that ran this compiler. Like a compiled binary, the program sees
  the executable as ``sys.executable`` and ``sys.argv[0]``, and the
  distribution folder first on its module search path. With ``--mode=app``
  the same goes into ``<stem>.app/Contents/MacOS/``.
- every ``--include-data-file=SRC=DST`` copied to ``DST`` inside it (a missing
  source is a fatal error, as with the real compiler);
- ``<output-dir>/<stem>.build/``, the intermediate folder.

Output lines mention "Nuitka", "NUITKA" and "nuitka" (a module path).

Environment variables for tests:

- ``TARVIK_FAKE_COMPILER_EXIT=<code>``: fail with that exit code, no output folder;
- ``TARVIK_FAKE_COMPILER_SIGNAL=<signum>``: die by that signal after some output;
- ``TARVIK_FAKE_COMPILER_EXTRA=<dir>``: copy that tree into the distribution
  (big files, node_modules folders, ...);
- ``TARVIK_FAKE_COMPILER_ECHO=<file>``: write the file's bytes to stdout as
  they are, before the final lines;
- ``TARVIK_FAKE_COMPILER_REPORT=<file>``: write the arguments, working
  directory and build environment there as JSON;
- ``TARVIK_FAKE_COMPILER_NO_OUTPUT=1``: succeed without writing a distribution.
"""

__version__ = "2.4-devkit"
