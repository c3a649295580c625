"""nginx as the update server: a child process with its own prefix and
configuration in a temporary folder. A front port (8000 for the built-in base
URL) can answer every request with a redirect to the serving port, which serves `www` with a
common hardening rule (dot-files denied) and compresses JSON for clients that
offer it; a third port speaks HTTPS with HTTP/2. The access log records what
each request asked for and got."""
import shutil
import signal
import socket
import subprocess
import time
from pathlib import Path

from faultserver import free_port

LOG_FIELDS = ("port", "conn", "proto", "method", "uri", "status", "range", "accept_encoding", "content_encoding")

CONFIG = """
daemon off;
master_process off;
worker_processes 1;
pid {tmp}/nginx.pid;
error_log {tmp}/error.log warn;
events {{ worker_connections 64; }}
http {{
    log_format fields '$server_port\\t$connection\\t$server_protocol\\t$request_method\\t$uri\\t$status\\t'
                      '$http_range\\t$http_accept_encoding\\t$sent_http_content_encoding';
    access_log {tmp}/access.log fields;
    client_body_temp_path {tmp}/client_body;
    proxy_temp_path {tmp}/proxy;
    fastcgi_temp_path {tmp}/fastcgi;
    uwsgi_temp_path {tmp}/uwsgi;
    scgi_temp_path {tmp}/scgi;
    types {{ application/json json; text/plain txt; }}
    default_type application/octet-stream;
    keepalive_timeout 30s;

{front_server}
    server {{
        listen 127.0.0.1:{port};
        listen 127.0.0.1:{tls_port} ssl http2;
        ssl_certificate {cert};
        ssl_certificate_key {key};
        root {www};
        gzip on;
        gzip_types application/json;
        gzip_min_length 0;
        location ~ /\\. {{ deny all; }}
    }}
}}
"""

FRONT = """
    server {{
        listen 127.0.0.1:{front};
        location / {{ return 302 http://127.0.0.1:{port}$request_uri; }}
    }}"""


def find_nginx():
    return shutil.which("nginx") or next((p for p in ("/usr/sbin/nginx", "/usr/local/sbin/nginx")
                                          if Path(p).is_file()), None)


def _listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


class Nginx:
    def __init__(self, binary, tmp, www, cert, key, front=None):
        self.tmp = Path(tmp)
        self.tmp.mkdir(parents=True, exist_ok=True)
        self.front, self.port, self.tls_port = front, free_port(), free_port()
        conf = self.tmp / "nginx.conf"
        front_server = FRONT.format(front=front, port=self.port) if front else ""
        conf.write_text(CONFIG.format(tmp=self.tmp, front_server=front_server, port=self.port,
                                      tls_port=self.tls_port, www=www, cert=cert, key=key))
        self.proc = subprocess.Popen([binary, "-p", str(self.tmp), "-c", str(conf), "-e", str(self.tmp / "error.log")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        end = time.monotonic() + 20
        while not all(_listening(p) for p in (front, self.port, self.tls_port) if p):
            if self.proc.poll() is not None or time.monotonic() > end:
                self.stop()
                raise RuntimeError("nginx did not start: " + self.errors())
            time.sleep(0.05)

    def errors(self):
        log = self.tmp / "error.log"
        text = log.read_text() if log.exists() else ""
        if self.proc.stderr and self.proc.poll() is not None:
            text += self.proc.stderr.read()
        return text

    def url(self, path, tls=False):
        return f"https://127.0.0.1:{self.tls_port}{path}" if tls else f"http://127.0.0.1:{self.port}{path}"

    def log(self):
        """The access log so far: one dict of LOG_FIELDS per request."""
        path = self.tmp / "access.log"
        if not path.exists():
            return []
        rows = []
        for line in path.read_text().splitlines():
            row = dict(zip(LOG_FIELDS, line.split("\t")))
            rows.append({k: ("" if v == "-" else v) for k, v in row.items()})
        return rows

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
