"""Entry point of a Tarvik application.

The build reads app_name and version from the lines below; keep them at the
start of their lines with double-quoted values.
"""
import sys

app_name = "Demo"
version = "1.0.0"


def main():
    try:
        from tarvik_cmd.auto_update import check_update
    except ImportError:
        check_update = None
    if check_update is not None and check_update(app_name, version):
        # An update was staged and its script waits for this process to end.
        sys.exit(0)
    print(f"{app_name} {version} running")
    return 0


if __name__ == "__main__":
    sys.exit(main())
