#!/usr/bin/env python3
"""The update host of the end-to-end tests and benchmarks: Debian's nginx on port 443 of loopback, with
its own configuration, pid file, logs and document root in a private folder, serving a tree that
tools/publish.py wrote, over TLS with a certificate from a throwaway CA (tls.make_chain).

    with UpdateHost(chain) as host:
        host.publish(exe)                     # tools/publish.py into host.root
        ... run the program ...
        host.requests()                       # [Request(time, path, status, agent, bytes, ...), ...]
        host.answer_manifest(503, {"Retry-After": "120"})   # the manifest's answer from now on

slow_files: a download below /files/OKAVU/ whose name ends in ".exe" can be throttled to
slow_rate bytes per second, so that a cycle lasts longer than the thread's first delay.

Port 443 is shared with other tests on this machine: start() retries, up to a deadline, while the
port is taken. Standard library only (plus the nginx program).
"""
import collections
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import publish  # noqa: E402  (tools/publish.py)

START_TIMEOUT = 120.0
STOP_TIMEOUT = 15.0
POLL = 0.02

# asked_etag: the request's If-None-Match ("" for none); etag: the ETag sent back; connection: nginx's serial
# number of the connection, connection_requests: the request's place on it; reused: the TLS session was
# resumed ("r") or not (".").
Request = collections.namedtuple("Request", "time path status agent bytes asked_etag etag connection "
                                            "connection_requests reused")


class UpdateHostError(RuntimeError):
    pass


def find_nginx():
    for candidate in (shutil.which("nginx"), "/usr/sbin/nginx"):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    raise UpdateHostError("nginx not found (install the package nginx)")


def _has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


class UpdateHost:
    def __init__(self, chain, slow_rate=None):
        self.chain = chain
        self.slow_rate = slow_rate
        self.folder = tempfile.mkdtemp(prefix="okavu-update-host-")
        self.root = os.path.join(self.folder, "www")
        self.access_log = os.path.join(self.folder, "access.log")
        self.error_log = os.path.join(self.folder, "error.log")
        self.pid_file = os.path.join(self.folder, "nginx.pid")
        self.proc = None
        self.manifest_answer = None
        os.makedirs(self.root)
        for sub in ("body", "proxy", "fastcgi", "uwsgi", "scgi"):
            os.makedirs(os.path.join(self.folder, "temp", sub))
        # Workers run as an unprivileged user unless told otherwise; the tree must be readable for them.
        os.chmod(self.folder, 0o755)

    # ---- the tree ----------------------------------------------------------------------------------

    def publish(self, exe, notes=None, sign_key=None, windowless=None, **options):
        """Publishes exe (and the windowless build beside it) with tools/publish.py, signed with sign_key when
        given; options: the keyword options of publish.publish (new_key and the manifest's terms).
        Returns (version, Unix path of the copy)."""
        version, copy, _ = publish.publish(exe, self.root, notes, sign_key, windowless, **options)
        return version, copy

    def manifest_bytes(self):
        with open(os.path.join(self.root, publish.PUBLISH_DIR, publish.MANIFEST_NAME), "rb") as f:
            return f.read()

    def write_manifest(self, text):
        """Replaces the manifest with text or bytes (for versions or fields the publisher would not write)."""
        folder = os.path.join(self.root, publish.PUBLISH_DIR)
        os.makedirs(folder, exist_ok=True)
        data = text.encode("utf-8") if isinstance(text, str) else text
        publish._write_atomically(os.path.join(folder, publish.MANIFEST_NAME), data)

    # ---- the server --------------------------------------------------------------------------------

    def _config(self):
        listens = ["listen 127.0.0.1:443 ssl;"]
        if _has_ipv6_loopback():
            listens.append("listen [::1]:443 ssl;")
        user = "user root root;" if os.geteuid() == 0 else ""
        slow = ""
        if self.slow_rate:
            slow = f"location ~ ^/files/OKAVU/.*\\.exe$ {{ limit_rate_after 0; limit_rate {int(self.slow_rate)}; }}"
        answer = ""
        if self.manifest_answer:
            status, headers = self.manifest_answer
            added = " ".join(f'add_header {name} "{value}" always;' for name, value in headers.items())
            answer = f"location = /files/OKAVU/manifest.txt {{ {added} return {int(status)}; }}"
        temp = os.path.join(self.folder, "temp")
        return f"""
{user}
worker_processes 1;
daemon off;
master_process on;
pid {self.pid_file};
error_log {self.error_log} info;
events {{ worker_connections 64; }}
http {{
  client_body_temp_path {temp}/body;
  proxy_temp_path {temp}/proxy;
  fastcgi_temp_path {temp}/fastcgi;
  uwsgi_temp_path {temp}/uwsgi;
  scgi_temp_path {temp}/scgi;
  types {{ text/plain txt; application/octet-stream exe; }}
  default_type application/octet-stream;
  log_format okavu '$msec\\t$uri\\t$status\\t$http_user_agent\\t$body_bytes_sent\\t$http_if_none_match\\t'
                   '$sent_http_etag\\t$connection\\t$connection_requests\\t$ssl_session_reused';
  access_log {self.access_log} okavu;
  server {{
    {" ".join(listens)}
    server_name localhost;
    ssl_certificate {self.chain.server_pem};
    ssl_certificate_key {self.chain.server_key};
    root {self.root};
    {slow}
    {answer}
  }}
}}
"""

    def start(self):
        config = os.path.join(self.folder, "nginx.conf")
        with open(config, "w", encoding="utf-8") as f:
            f.write(self._config())
        nginx = find_nginx()
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            for path in (self.pid_file,):
                if os.path.exists(path):
                    os.unlink(path)
            err = open(os.path.join(self.folder, "stderr.log"), "ab")
            try:
                self.proc = subprocess.Popen([nginx, "-p", self.folder, "-c", config, "-e", self.error_log],
                                             stdin=subprocess.DEVNULL, stdout=err, stderr=err,
                                             start_new_session=True)
            finally:
                err.close()
            # The pid file is written once every socket is bound.
            while self.proc.poll() is None and not os.path.exists(self.pid_file):
                if time.monotonic() > deadline:
                    self.stop()
                    raise UpdateHostError(f"nginx did not start within {START_TIMEOUT:.0f} s: {self._errors()}")
                time.sleep(POLL)
            if self.proc.poll() is None:
                return self
            errors = self._errors()
            self.proc = None
            if "Address already in use" not in errors or time.monotonic() > deadline:
                raise UpdateHostError(f"nginx failed to start: {errors}")
            time.sleep(0.25)  # another test holds port 443; try again until the deadline

    def _errors(self):
        text = ""
        for name in ("stderr.log", "error.log"):
            try:
                with open(os.path.join(self.folder, name), encoding="utf-8", errors="replace") as f:
                    text += f.read()
            except FileNotFoundError:
                pass
        return text.strip()[-2000:]

    def answer_manifest(self, status, headers=None):
        """From now on the manifest is answered with status and headers alone (None: served again), over a
        restarted nginx."""
        self.manifest_answer = None if status is None else (status, dict(headers or {}))
        self.stop()
        return self.start()

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGQUIT)  # graceful: finishes open transfers
            try:
                self.proc.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(STOP_TIMEOUT)
        self.proc = None

    def close(self):
        self.stop()
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    # ---- what was asked ----------------------------------------------------------------------------

    def requests(self):
        """Every request answered so far, in the order nginx logged them."""
        try:
            with open(self.access_log, encoding="utf-8", errors="replace") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        found = []
        for line in lines:
            stamp, path, status, agent, sent, asked, etag, connection, on_connection, reused = line.split("\t")
            found.append(Request(float(stamp), path, int(status), agent, int(sent), "" if asked == "-" else asked,
                                 "" if etag == "-" else etag, int(connection), int(on_connection), reused))
        return found

    def clear_requests(self):
        """Empties the access log (nginx keeps appending to the same open file)."""
        if os.path.exists(self.access_log):
            with open(self.access_log, "r+b") as f:
                f.truncate(0)
