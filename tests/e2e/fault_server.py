"""A small HTTPS server on loopback that answers each path the way a test tells it to, faults included.

    with FaultServer(chain) as server:          # chain from tls.make_chain
        server.set("/files/OKAVU/manifest.txt", Reply(body=b"version=1.7.0.0\n..."))
        server.set("/files/OKAVU/x.exe", Reply(body=data, drop_after=4096))
        ... run the program ...
        server.requests                          # [(path, user agent), ...] in arrival order

Every path that was not set answers 404. A Reply can:
  - give any status, extra headers and body (status 302 with a Location header is a redirect);
  - stop after drop_after bytes of the body although Content-Length announced all of it, closing
    the connection with a TCP FIN and no TLS close_notify (drop="fin") or with a TCP reset
    (drop="rst").

It listens on port 443 of 127.0.0.1 and of ::1 (where the host has IPv6), because a client may
resolve "localhost" to either. Port 443 is shared with other tests on this machine: start() waits,
up to a deadline, for the port to come free. TLS handshakes run in the connection's own thread, so a
client that rejects the certificate only ends its own connection (counted in connections, and in
handshake_failures when the server notices).

Standard library only.
"""
import errno
import http.server
import os
import socket
import ssl
import struct
import threading
import time

BIND_TIMEOUT = 120.0
CHUNK = 1 << 20


class Reply:
    """What one path answers."""

    def __init__(self, status=200, body=b"", headers=None, drop_after=None, drop="fin"):
        if drop not in ("fin", "rst"):
            raise ValueError(f"unknown drop mode {drop!r}")
        self.status = status
        self.body = body
        self.headers = dict(headers or {})
        self.drop_after = drop_after
        self.drop = drop

    @staticmethod
    def redirect(location, status=302):
        return Reply(status=status, body=b"moved\n", headers={"Location": location})


NOT_FOUND = Reply(status=404, body=b"not found\n")


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "FaultServer"
    sys_version = ""

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    def do_GET(self):
        owner = self.server.owner
        reply = owner._reply_for(self.path, self.headers.get("User-Agent", ""))
        body = reply.body
        self.send_response(reply.status)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        for name, value in reply.headers.items():
            self.send_header(name, value)
        self.end_headers()
        self.close_connection = True
        end = len(body) if reply.drop_after is None else min(reply.drop_after, len(body))
        view = memoryview(body)
        try:
            for start in range(0, end, CHUNK):
                self.wfile.write(view[start:min(start + CHUNK, end)])
        except OSError:
            return  # the client went away first
        if reply.drop_after is not None:
            self._drop(reply.drop)

    def _drop(self, mode):
        conn = self.connection
        try:
            if mode == "rst":
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            conn.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        conn.close()
        # Nothing may be written after this; the base class's flush finds a closed file.
        self.wfile = open(os.devnull, "wb")


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, family, owner):
        self.address_family = family
        self.owner = owner
        super().__init__(address, _Handler)

    def server_bind(self):
        # Connections of an earlier run in TIME_WAIT must not keep the port.
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if self.address_family == socket.AF_INET6:
            self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        # HTTPServer.server_bind would look up the host name; the address is all it needs.
        self.socket.bind(self.server_address)
        self.server_address = self.socket.getsockname()

    def finish_request(self, request, client_address):
        self.owner._count_connection()
        try:
            tls = self.owner.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            self.owner._count_handshake_failure()
            return
        try:
            self.RequestHandlerClass(tls, client_address, self)
        finally:
            try:
                tls.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        pass  # a client that hangs up mid-answer is part of the tests


class FaultServer:
    def __init__(self, chain, port=443, bind_timeout=BIND_TIMEOUT):
        self.context = None
        self.use_certificate(chain)
        self.port = port
        self.bind_timeout = bind_timeout
        self._routes = {}
        self._lock = threading.Lock()
        self._requests = []
        self._handshake_failures = 0
        self._connections = 0
        self._servers = []
        self._threads = []

    # ---- what the tests set and read ---------------------------------------------------------

    def use_certificate(self, chain):
        """Connections from now on get chain's server certificate (tls.Chain or anything with
        server_pem and server_key)."""
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(chain.server_pem, chain.server_key)
        self.context = context

    def set(self, path, reply):
        with self._lock:
            self._routes[path] = reply

    def clear(self):
        """Forgets every route and every recorded request."""
        with self._lock:
            self._routes.clear()
            self._requests.clear()
            self._handshake_failures = 0
            self._connections = 0

    @property
    def requests(self):
        """(path, user agent) of every request so far, in arrival order."""
        with self._lock:
            return list(self._requests)

    @property
    def handshake_failures(self):
        """Connections whose TLS handshake failed on the server's side."""
        with self._lock:
            return self._handshake_failures

    @property
    def connections(self):
        """TCP connections accepted, with or without a request on them."""
        with self._lock:
            return self._connections

    def _reply_for(self, path, agent):
        with self._lock:
            self._requests.append((path, agent))
            return self._routes.get(path, NOT_FOUND)

    def _count_connection(self):
        with self._lock:
            self._connections += 1

    def _count_handshake_failure(self):
        with self._lock:
            self._handshake_failures += 1

    # ---- life cycle --------------------------------------------------------------------------

    def start(self):
        deadline = time.monotonic() + self.bind_timeout
        addresses = [(socket.AF_INET, ("127.0.0.1", self.port))]
        if socket.has_ipv6:
            addresses.append((socket.AF_INET6, ("::1", self.port, 0, 0)))
        for family, address in addresses:
            server = self._bind(family, address, deadline)
            if server is None:
                continue
            self._servers.append(server)
            thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
            thread.start()
            self._threads.append(thread)
        return self

    def _bind(self, family, address, deadline):
        while True:
            try:
                return _Server(address, family, self)
            except OSError as e:
                if e.errno == errno.EADDRINUSE and time.monotonic() < deadline:
                    time.sleep(0.1)  # another test holds the port; poll until it lets go
                    continue
                if family == socket.AF_INET6 and e.errno in (errno.EADDRNOTAVAIL, errno.EAFNOSUPPORT):
                    return None  # no IPv6 loopback on this host
                self.stop()
                raise

    def stop(self):
        for server in self._servers:
            server.shutdown()
            server.server_close()
        for thread in self._threads:
            thread.join(timeout=10)
        self._servers = []
        self._threads = []

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
