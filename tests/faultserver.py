"""A small HTTP server on 127.0.0.1 that misbehaves on request, for the update
client's tests.

Each path can be given a script of replies, consumed one per request (the last
one repeats). Paths without a script are served from ``root`` (GET and HEAD,
single byte ranges unless ``honour_ranges`` is off). Every request is logged
with its method, path, headers, arrival time and the body bytes sent. With
``tls=(certfile, keyfile)`` it speaks HTTPS.
"""
import os
import socket
import ssl
import struct
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path


@dataclass
class Reply:
    status: int = 200
    body: bytes = b""
    headers: dict = field(default_factory=dict)
    delay: float = 0.0  # before the status line
    body_delay: float = 0.0  # after the headers, before the body
    drop: bool = False  # close the connection without answering
    reset: bool = False  # answer nothing and reset the connection
    truncate_to: int | None = None  # announce the whole body, send this many bytes, close
    repeat: int = 0  # send the body this many times, without a length, then close
    reason: str | None = None  # of the status line, sent as ISO-8859-1
    drip: float = 0.0  # send the whole answer (status line, headers, body) one byte per this many seconds
    stall_at: int | None = None  # send this many body bytes, then wait stall_for seconds before the rest
    stall_for: float = 30.0


@dataclass
class Logged:
    method: str
    path: str
    headers: dict
    when: float
    body_bytes: int = 0
    client_port: int = 0  # of the connection the request came on


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):  # keep test output quiet
        pass

    def handle(self):
        try:
            super().handle()
        except (ssl.SSLError, ConnectionResetError):
            pass  # a client that refused the certificate, or dropped a kept-alive connection

    def do_GET(self):
        self._serve(send_body=True)

    def do_HEAD(self):
        self._serve(send_body=False)

    def _serve(self, send_body):
        srv: FaultServer = self.server.owner
        entry = Logged(self.command, self.path, dict(self.headers.items()), time.monotonic(),
                       client_port=self.client_address[1])
        with srv.lock:
            srv.log.append(entry)
            script = srv.scripts.get(self.path.split("?")[0])
            reply = None
            if script:
                reply = script[0] if len(script) == 1 else script.pop(0)
        if reply is None:
            reply = srv.file_reply(self.path.split("?")[0], self.headers.get("Range"))
        self._answer(reply, send_body, entry)

    def _drip(self, reply, send_body, entry):
        head = f"HTTP/1.1 {reply.status} {reply.reason or 'OK'}\r\nContent-Length: {len(reply.body)}\r\n"
        head += "".join(f"{k}: {v}\r\n" for k, v in reply.headers.items()) + "Connection: close\r\n\r\n"
        data = head.encode("latin-1") + (reply.body if send_body else b"")
        self.close_connection = True
        try:
            for i in range(len(data)):
                self.wfile.write(data[i:i + 1])
                self.wfile.flush()
                entry.body_bytes += 1
                time.sleep(reply.drip)
        except OSError:
            pass

    def _answer(self, reply, send_body, entry):
        if reply.drip:
            return self._drip(reply, send_body, entry)
        if reply.delay:
            time.sleep(reply.delay)
        if reply.reset:
            # closing with a zero linger time sends RST instead of FIN
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
            self.close_connection = True
            return
        if reply.drop:
            self.close_connection = True
            return
        self.send_response(reply.status, reply.reason)
        headers = {} if reply.repeat else {"Content-Length": str(len(reply.body))}
        headers.update(reply.headers)
        for k, v in headers.items():
            self.send_header(k, v)
        if reply.truncate_to is not None or reply.repeat:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.flush()
        if reply.body_delay:
            time.sleep(reply.body_delay)
        if not send_body:
            return
        body = reply.body if reply.truncate_to is None else reply.body[: reply.truncate_to]
        try:
            if reply.stall_at is not None:
                self.wfile.write(body[: reply.stall_at])
                self.wfile.flush()
                entry.body_bytes += len(body[: reply.stall_at])
                time.sleep(reply.stall_for)
                body = body[reply.stall_at:]
            for _ in range(max(1, reply.repeat)):
                self.wfile.write(body)
                entry.body_bytes += len(body)
            self.wfile.flush()
        except OSError:
            self.close_connection = True
            return
        if reply.truncate_to is not None or reply.repeat:
            self.close_connection = True


class FaultServer:
    def __init__(self, port=0, root=None, honour_ranges=True, tls=None):
        self.root = Path(root) if root else None
        self.honour_ranges = honour_ranges
        self.scripts: dict[str, list[Reply]] = {}
        self.log: list[Logged] = []
        self.lock = threading.Lock()
        try:
            self.httpd = ThreadingHTTPServer(("127.0.0.1", port), _Handler)
        except OSError as e:
            raise RuntimeError(f"cannot listen on 127.0.0.1:{port}: {e} (is another server running?)") from e
        self.httpd.daemon_threads = True
        self.scheme = "http"
        if tls:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(*tls)
            # the handshake happens in the handler's thread, where a refused one ends quietly
            self.httpd.socket = ctx.wrap_socket(self.httpd.socket, server_side=True, do_handshake_on_connect=False)
            self.scheme = "https"
        self.httpd.owner = self
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, args=(0.05,), daemon=True)
        self.thread.start()

    def url(self, path="/"):
        return f"{self.scheme}://127.0.0.1:{self.port}{path}"

    def script(self, path, *replies):
        with self.lock:
            self.scripts[path] = list(replies)

    def requests(self, path=None, method=None):
        with self.lock:
            return [e for e in self.log if (path is None or e.path == path) and (method is None or e.method == method)]

    def body_bytes(self, path=None):
        return sum(e.body_bytes for e in self.requests(path, "GET"))

    def file_reply(self, path, range_header):
        target = self._file_for(path)
        if target is None:
            return Reply(404, b"not found")
        size = target.stat().st_size
        if range_header and self.honour_ranges and range_header.startswith("bytes="):
            first, _, last = range_header[6:].partition("-")
            first, last = int(first), min(int(last), size - 1)
            if first > last:
                return Reply(416, b"")
            with open(target, "rb") as f:
                f.seek(first)
                data = f.read(last - first + 1)
            return Reply(206, data, {"Content-Range": f"bytes {first}-{last}/{size}"})
        return Reply(200, target.read_bytes())

    def _file_for(self, path):
        if self.root is None:
            return None
        from urllib.parse import unquote

        rel = unquote(path).lstrip("/")
        target = (self.root / rel).resolve()
        if self.root.resolve() not in target.parents or not target.is_file():
            return None
        return target

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def free_port():
    """A port on 127.0.0.1 with nothing listening (closed right after binding)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True
