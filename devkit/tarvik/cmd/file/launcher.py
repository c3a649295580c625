"""Entry point of a Tarvik application.

The build reads app_name and version from the lines below; keep them at the
start of their lines with double-quoted values.

Without a splash window this launcher shows the update check on the console:
the status label's texts and the progress bar as lines of their own.
"""
import os
import sys
import time

app_name = "Demo"
version = "1.0.0"


class ConsoleStatus:
    """Stands in for the splash window's status label."""

    def config(self, text):
        print("  |", text, flush=True)

    def update(self):
        pass


class ConsoleProgress:
    """Stands in for the splash window's progress bar (values 0 to 100): a bar
    line each time the value reaches another tenth."""

    WIDTH = 30

    def __init__(self):
        self.shown = None

    def __setitem__(self, key, value):
        if key != "value":
            return
        tenth = max(0, min(10, int(value // 10)))
        if tenth == self.shown:
            return
        self.shown = tenth
        filled = tenth * self.WIDTH // 10
        print("  [" + "#" * filled + "." * (self.WIDTH - filled) + "] %3d%%" % int(value), flush=True)

    def update(self):
        pass


def note_start():
    """Appends a line to logs/launcher.log beside the program."""
    here = os.path.dirname(os.path.abspath(sys.argv[0]))
    try:
        os.makedirs(os.path.join(here, "logs"), exist_ok=True)
        with open(os.path.join(here, "logs", "launcher.log"), "a", encoding="utf-8") as log:
            log.write(f"{time.strftime('%Y-%m-%d %H:%M:%S')} {app_name} {version} started\n")
    except OSError:
        pass


def main():
    try:
        from tarvik_cmd.auto_update import check_update
    except ImportError:
        check_update = None
    if check_update is not None:
        if check_update(app_name, version, ConsoleStatus(), ConsoleProgress()):
            # An update was staged and its script waits for this process to end.
            sys.exit(0)
    note_start()
    print(f"{app_name} {version} running")
    return 0


if __name__ == "__main__":
    sys.exit(main())
