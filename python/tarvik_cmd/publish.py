"""Publishing a finished build to the update server.

``publish(os_label, code)`` uploads the workspace's build for that OS label;
run as ``python -m tarvik_cmd.publish <os> <code>`` it exits with 0 or 1.
"""
from ._tarvik_cmd.publish import BATCH_SIZE, _main, publish

__all__ = ["BATCH_SIZE", "publish"]

if __name__ == "__main__":
    import sys

    sys.exit(_main(sys.argv))
