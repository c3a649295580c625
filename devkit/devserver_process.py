"""tarvik-devserver as a child process, for the demo and the tests: started on
a root folder, its request log collected line by line, stopped by a signal."""
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
from pathlib import Path


def find_devserver():
    """The server installed beside this interpreter or on PATH, or None."""
    return shutil.which("tarvik-devserver",
                        path=os.pathsep.join([str(Path(sys.executable).parent), os.environ.get("PATH", "")]))


def port_is_free(port, host="127.0.0.1"):
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind((host, port))
        except OSError:
            return False
    return True


class DevServerProcess:
    """Raises RuntimeError when the server does not start."""

    def __init__(self, exe, root, port=0, code=None, host="127.0.0.1", extra_args=()):
        args = [exe, "--root", str(root), "--host", host, "--port", str(port)]
        args += ["--code", code] if code is not None else []
        args += list(extra_args)
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.banner = self.proc.stdout.readline().rstrip("\n")
        if "serving" not in self.banner:
            self.proc.wait(10)
            raise RuntimeError(f"tarvik-devserver did not start: {self.banner}\n{self.proc.stdout.read()}")
        self.port = int(self.banner.rsplit(":", 1)[1].split("/")[0])
        self.url = f"http://{host}:{self.port}"
        self.log = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self.log.append(line.rstrip("\n"))

    def stop(self, sig=signal.SIGTERM, timeout=20):
        """Stops the server and returns its exit status; one that does not stop
        in time is killed and subprocess.TimeoutExpired raised."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise
        finally:
            self.reader.join(5)
        return status
