"""Shared pieces of the publisher's and the development server's tests: the
tarvik-devserver process, a recording stand-in server for the failure rows,
a multipart body splitter, and build folders as the build leaves them."""
import json
import os
import signal
import subprocess
import threading
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest

from devserver_process import DevServerProcess, find_devserver, port_is_free
from update_fixtures import wait_for

BASE = "http://127.0.0.1:8000"


def devserver_path():
    """The server built beside the module under test, or the installed one."""
    candidates = []
    if os.environ.get("TARVIK_DEV_BUILD"):
        candidates.append(Path(os.environ["TARVIK_DEV_BUILD"]) / "devkit" / "update_server" / "tarvik-devserver")
    found = find_devserver()
    candidates += [Path(found)] if found else []
    for c in candidates:
        if c.is_file() and os.access(c, os.X_OK):
            return str(c)
    pytest.fail("tarvik-devserver not found (looked at: " + ", ".join(map(str, candidates)) + ")")


def require_port_8000():
    if not port_is_free(8000):
        pytest.fail("127.0.0.1:8000 is taken: publish talks to the built-in base URL, "
                    "stop whatever listens there and run again")


class DevServer(DevServerProcess):
    """The server under test; its failures to start or stop fail the test."""

    def __init__(self, root, port=0, code=None, extra_args=()):
        if port == 8000:
            require_port_8000()
        try:
            super().__init__(devserver_path(), root, port, code, extra_args=extra_args)
        except RuntimeError as e:
            pytest.fail(str(e))

    def stop(self, sig=signal.SIGTERM):
        try:
            return super().stop(sig)
        except subprocess.TimeoutExpired:
            pytest.fail("tarvik-devserver did not stop on " + signal.Signals(sig).name)

    def requests(self, method=None, count=0):
        """Request log lines (start and stop lines left out). A line is written
        after its answer went out: with `count`, waits for that many lines."""
        def lines():
            return [l for l in self.log if not l.startswith("tarvik-devserver:")
                    and (method is None or l.startswith(method + " "))]
        wait_for(lambda: len(lines()) >= count, f"{count} {method or ''} log lines")
        return lines()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def split_multipart(content_type, body):
    """[(name, filename or None, content type or None, bytes)] of a multipart/form-data body."""
    boundary = content_type.split("boundary=", 1)[1].strip('"').encode()
    parts = []
    for chunk in body.split(b"--" + boundary)[1:]:
        if chunk.startswith(b"--"):
            break
        head, _, content = chunk[2:].partition(b"\r\n\r\n")
        headers = {}
        for line in head.decode("utf-8", "surrogateescape").split("\r\n"):
            key, _, value = line.partition(":")
            headers[key.strip().lower()] = value.strip()
        disposition = headers.get("content-disposition", "")
        params = dict(p.strip().split("=", 1) for p in disposition.split(";")[1:])
        parts.append((params["name"].strip('"'), params["filename"].strip('"') if "filename" in params else None,
                      headers.get("content-type"), content[:-2]))
    return parts


@dataclass
class Answer:
    status: int = 200
    body: bytes = b""
    drop: bool = False  # close the connection without an answer
    headers: dict = field(default_factory=dict)


@dataclass
class StandIn:
    """What the stand-in server answers and what it received."""
    get: list = field(default_factory=lambda: [Answer(404, b"none")])
    post: list = field(default_factory=lambda: [Answer(201, b"{}")])
    on_post: object = None  # called with the POST's index before answering
    posts: list = field(default_factory=list)  # split bodies
    gets: list = field(default_factory=list)


class _StandInHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _reply(self, answers):
        a = answers[0] if len(answers) == 1 else answers.pop(0)
        if a.drop:
            self.close_connection = True
            return
        self.send_response(a.status)
        for name, value in a.headers.items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(a.body)))
        self.end_headers()
        self.wfile.write(a.body)

    def do_GET(self):
        state = self.server.state
        state.gets.append(self.path)
        self._reply(state.get)

    def do_POST(self):
        state = self.server.state
        body = self.rfile.read(int(self.headers["Content-Length"]))
        state.posts.append(split_multipart(self.headers["Content-Type"], body))
        if state.on_post:
            state.on_post(len(state.posts))
        self._reply(state.post)


class StandInServer:
    """A scripted server on the built-in base URL (127.0.0.1:8000)."""

    def __init__(self, state):
        require_port_8000()
        self.httpd = ThreadingHTTPServer(("127.0.0.1", 8000), _StandInHandler)
        self.httpd.daemon_threads = True
        self.httpd.state = state
        self.thread = threading.Thread(target=self.httpd.serve_forever, args=(0.05,), daemon=True)
        self.thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.httpd.shutdown()
        self.httpd.server_close()


def make_build(ws, files, app="Shop", version="1.0", os_label="linux", display="Linux", key="K1",
               manifest=None, build_info=None):
    """build/ as the build leaves it: the manifest in build/ and in the output
    folder, the files, and build.json. files: {rel: bytes}. Returns the folder."""
    build = Path(ws) / "build"
    dist = build / f"{app}-{version}-{display}"
    dist.mkdir(parents=True, exist_ok=True)
    for rel, data in files.items():
        (dist / rel).parent.mkdir(parents=True, exist_ok=True)
        (dist / rel).write_bytes(data)
    doc = manifest if manifest is not None else {
        "app_name": app, "version": version, "os": os_label, "arch": "x64",
        "files": {rel: "0" * 64 for rel in files}}
    text = doc if isinstance(doc, (bytes, str)) else json.dumps(doc, indent=2)
    name = f"manifest--{app}-{os_label}-x64.json"
    for target in (build / name, dist / name):
        target.write_bytes(text if isinstance(text, bytes) else text.encode())
    info = build_info if build_info is not None else {"COMMUNITY_KEY": key}
    (dist / "build.json").write_text(info if isinstance(info, str) else json.dumps(info), encoding="utf-8")
    return dist
