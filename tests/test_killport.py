"""Port release with real processes holding real sockets on free high ports.
A helper answers "alive" for every line on its stdin, so a test knows for sure
whether it still runs (a killed one answers with end-of-file)."""
import random
import socket
import subprocess
import sys

import pytest

from tarvik_cmd.killport import kill_process_on_port

HOLDER = r"""
import socket, sys
mode, port = sys.argv[1], int(sys.argv[2])
s = socket.socket(socket.AF_INET6 if mode == "listen6" else socket.AF_INET)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
if mode == "listen6":                       # dual stack: IPv4 clients too
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    s.bind(("::", port))
elif mode != "connect":
    s.bind(("127.0.0.1", port))
if mode.startswith("listen"):
    s.listen()
elif mode == "connect":
    s.connect(("127.0.0.1", port))
elif mode == "from":                        # a connection from the port elsewhere
    s.connect(("127.0.0.1", int(sys.argv[3])))
print("ready", flush=True)
for _ in sys.stdin:
    print("alive", flush=True)
"""


@pytest.fixture
def hold():
    procs = []

    def start(mode, port, *extra):
        p = subprocess.Popen([sys.executable, "-c", HOLDER, mode, str(port), *map(str, extra)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        procs.append(p)
        if p.stdout.readline() != "ready\n":
            pytest.skip(f"cannot {mode} on port {port}")
        return p

    yield start
    for p in procs:
        p.kill()
        p.wait()


def alive(p):
    try:
        p.stdin.write("?\n")
        p.stdin.flush()
    except BrokenPipeError:
        return False
    return p.stdout.readline() == "alive\n"


def free_ports():
    """A free port p, and a free port whose text begins with the digits of p."""
    def free(port):
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
                return True
            except OSError:
                return False
    for _ in range(500):
        p = random.randrange(2000, 6500)
        longer = p * 10 + random.randrange(10)
        if free(p) and free(longer):
            return p, longer
    pytest.skip("no free ports")


@pytest.mark.parametrize("mode", ["listen", "listen6"])
def test_kills_the_listener_and_only_it(hold, capfd, mode):
    port, longer = free_ports()
    listener = hold(mode, port)
    neighbour = hold("listen", longer)    # ":<port>" is a prefix of ":<longer>"
    client = hold("connect", port)        # remote port <port>, local port another

    kill_process_on_port(port)

    assert listener.wait(timeout=30) != 0
    assert alive(neighbour) and alive(client)
    assert capfd.readouterr().out == ""


def test_nothing_listening_kills_and_prints_nothing(hold, capfd):
    port, _ = free_ports()
    with socket.create_server(("127.0.0.1", 0)) as elsewhere:
        # The port is the local end of a live connection, but nothing accepts
        # connections on it: it is not in use, and its owner stays.
        owner = hold("from", port, elsewhere.getsockname()[1])
        kill_process_on_port(port)
        assert alive(owner)
    assert capfd.readouterr().out == ""


CALLER = r"""
import socket, subprocess, sys
from tarvik_cmd.killport import kill_process_on_port
s = socket.create_server(("127.0.0.1", 0))
# A child that shares the very same listening socket.
child = subprocess.Popen([sys.executable, "-c", "import sys; sys.stdin.read()"],
                         stdin=subprocess.PIPE, pass_fds=[s.fileno()])
kill_process_on_port(s.getsockname()[1])
print("child", child.wait(), "caller survived")
"""


def test_never_kills_the_caller():
    run = subprocess.run([sys.executable, "-c", CALLER], capture_output=True, text=True, timeout=60)
    # The child holding the caller's socket was found and killed; the caller was not.
    assert (run.returncode, run.stdout) == (0, "child -9 caller survived\n"), run.stderr


@pytest.mark.parametrize("port, kind", [(70000, OverflowError), (-1, OverflowError), (2**64, OverflowError),
                                        (-2**70, OverflowError), ("80", TypeError), (80.0, TypeError),
                                        (None, TypeError)])
def test_bad_port_numbers_reach_the_caller(port, kind):
    with pytest.raises(kind):
        kill_process_on_port(port)
