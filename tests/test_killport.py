"""Port release with real processes holding real sockets on free high ports.

Each helper process answers "alive" on stdout for every line it reads on stdin,
so a test can tell for sure whether it still runs: a killed process answers
with end-of-file instead.
"""
import random
import socket
import subprocess
import sys

import pytest

from tarvik_cmd.killport import kill_process_on_port

HOLDER = r"""
import socket, sys
mode, port = sys.argv[1], int(sys.argv[2])
if mode == "listen6":
    s = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    s.bind(("::", port))
    s.listen()
else:
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if mode == "connect":
        s.connect(("127.0.0.1", port))
    elif mode == "from":  # a connection from the port to another one
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", port))
        s.connect(("127.0.0.1", int(sys.argv[3])))
    else:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", port))
        if mode == "listen":
            s.listen()
print("ready", flush=True)
for _ in sys.stdin:
    print("alive", flush=True)
"""


class Holder:
    def __init__(self, mode, port, *extra):
        self.proc = subprocess.Popen(
            [sys.executable, "-c", HOLDER, mode, str(port), *map(str, extra)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline() == "ready\n"

    def alive(self):
        try:
            self.proc.stdin.write("?\n")
            self.proc.stdin.flush()
        except BrokenPipeError:
            return False
        return self.proc.stdout.readline() == "alive\n"

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        self.proc.stdout.close()


@pytest.fixture
def holders():
    started = []

    def start(mode, port, *extra):
        h = Holder(mode, port, *extra)
        started.append(h)
        return h

    yield start
    for h in started:
        h.stop()


def _free(port, family=socket.AF_INET):
    with socket.socket(family, socket.SOCK_STREAM) as s:
        try:
            s.bind(("127.0.0.1" if family == socket.AF_INET else "::", port))
        except OSError:
            return False
    return True


def _free_prefix_pair():
    """A free port p and a free port whose text begins with the digits of p."""
    rng = random.Random()
    for _ in range(500):
        p = rng.randrange(2000, 6500)
        longer = p * 10 + rng.randrange(10)
        if _free(p) and _free(longer):
            return p, longer
    pytest.skip("no free pair of ports")


def test_kills_the_listener_and_spares_neighbours(holders, capfd):
    port, longer = _free_prefix_pair()
    listener = holders("listen", port)
    neighbour = holders("listen", longer)      # ":<port>" is a prefix of ":<longer>"
    client = holders("connect", port)          # remote port is <port>, local one is not

    kill_process_on_port(port)

    assert listener.proc.wait(timeout=30) != 0
    assert not listener.alive()
    assert neighbour.alive()
    assert client.alive()
    assert capfd.readouterr().out == ""


def test_kills_a_dual_stack_listener(holders):
    if not socket.has_ipv6:
        pytest.skip("no IPv6")
    port, _ = _free_prefix_pair()
    if not _free(port, socket.AF_INET6):
        pytest.skip("port taken on IPv6")
    try:
        listener = holders("listen6", port)
    except AssertionError:
        pytest.skip("cannot listen on IPv6")
    kill_process_on_port(port)
    assert listener.proc.wait(timeout=30) != 0


def test_nothing_listening_kills_and_prints_nothing(holders, capfd):
    port, _ = _free_prefix_pair()
    with socket.create_server(("127.0.0.1", 0)) as elsewhere:
        # The port is the local end of a live connection, but nothing accepts
        # connections on it: it is not in use, and its owner stays.
        owner = holders("from", port, elsewhere.getsockname()[1])
        kill_process_on_port(port)
        assert owner.alive()
    assert capfd.readouterr().out == ""


CALLER = r"""
import socket, subprocess, sys
from tarvik_cmd.killport import kill_process_on_port
port = int(sys.argv[1])
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", port))
s.listen()
# A child that shares the very same listening socket.
child = subprocess.Popen([sys.executable, "-c", "import sys; sys.stdin.read()"],
                         stdin=subprocess.PIPE, pass_fds=[s.fileno()])
kill_process_on_port(port)
print("child", child.wait(), flush=True)
print("caller survived", flush=True)
"""


def test_never_kills_the_caller():
    port, _ = _free_prefix_pair()
    run = subprocess.run([sys.executable, "-c", CALLER, str(port)],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    # The child holding the caller's socket was found and killed; the caller was not.
    assert run.stdout == "child -9\ncaller survived\n"


@pytest.mark.parametrize("port, kind", [(70000, OverflowError), (-1, OverflowError), ("80", TypeError)])
def test_bad_port_numbers_reach_the_caller(port, kind):
    with pytest.raises(kind):
        kill_process_on_port(port)
