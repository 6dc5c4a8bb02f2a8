"""The panel's HTTP server: the standard library's ``http.server``, one
thread per connection (``socketserver.ThreadingMixIn``, daemon threads: on
CPython 3.6 there is no ThreadingHTTPServer yet), the page's files from
``static/`` and the API of api.py; and ``run``, the tool's command.

Each request is checked in this order, and the first refusal answers it:
the Host header (403), the Origin of a POST (403), the token (401, saying
nothing of the machine), the size of the body (413, not read), --read-only
(403 for every POST but a stop), then the path (404) and the method (405),
the body (400) and what the machine makes of it (api.Failure).
"""

import json
import mimetypes
import os
import select
import socket
import socketserver
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, HTTPServer

from ..failures import EXIT_OK, ToolError, describe_exception
from .api import Failure, Panel
from .broadcast import MAX_STREAMS, encoded
from .guard import Guard, is_loopback, new_token, url_host

#: the largest request body read, in bytes
MAX_BODY = 64 * 1024
#: seconds a connection may stay silent (an idle keep-alive, a stream
#: whose client reads nothing) before it is closed
IDLE_TIMEOUT = 30
#: how often an events stream looks whether its client has gone
STREAM_LOOK = 0.1
STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
#: sent with every answer: nothing is cached, framed, sniffed or fetched
#: from elsewhere, no address is passed on
HEADERS = (
    ("Cache-Control", "no-store"),
    ("X-Content-Type-Options", "nosniff"),
    ("X-Frame-Options", "DENY"),
    ("Referrer-Policy", "no-referrer"),
    ("Content-Security-Policy", "default-src 'none'; script-src 'self'; style-src 'self'; "
                                "connect-src 'self'; img-src 'self' data:; base-uri 'none'; "
                                "form-action 'none'; frame-ancestors 'none'"),
)
#: the POST paths that --read-only still serves
STOPS = ("stop",)


def load_assets(folder=STATIC):
    """Every file of FOLDER (and below) as path in the URL -> (bytes, type)."""
    assets = {}
    for directory, subfolders, files in os.walk(folder):
        subfolders.sort()
        for name in sorted(files):
            path = os.path.join(directory, name)
            kind = mimetypes.guess_type(name)[0] or "application/octet-stream"
            if kind.startswith("text/") or kind.endswith(("javascript", "json", "svg+xml")):
                kind += "; charset=utf-8"
            with open(path, "rb") as f:
                url = "/" + os.path.relpath(path, folder).replace(os.sep, "/")
                assets[url] = (f.read(), kind)
    assets["/"] = assets["/index.html"]
    return assets


def _reject_constant(name):
    raise ValueError("%s is no number JSON knows" % name)


def _finite(text):
    value = float(text)
    if value in (float("inf"), float("-inf")):
        raise ValueError("%s is beyond the range of a number" % text)
    return value


def _integer(text):
    if len(text.lstrip("-")) > 100:
        raise ValueError("a whole number of %d digits" % len(text.lstrip("-")))
    return int(text)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "qzr-kov-panel"
    sys_version = ""
    timeout = IDLE_TIMEOUT
    #: bytes of the request's body not read (none before a request is)
    _unread = 0

    def log_message(self, format, *args):
        pass        # the events tell what happened; requests are not logged

    def send_error(self, code, message=None, explain=None):
        """The base class's errors (a malformed request line, headers too
        long) as the panel's JSON, and the connection closed."""
        self.close_connection = True
        try:
            self._json(code, {"error": message or self.responses.get(code, ("",))[0]})
        except OSError:
            pass

    def do_GET(self):
        self._serve("GET")

    def do_POST(self):
        self._serve("POST")

    def do_HEAD(self):
        self._serve("HEAD")

    def do_PUT(self):
        self._serve("PUT")

    def do_DELETE(self):
        self._serve("DELETE")

    def do_PATCH(self):
        self._serve("PATCH")

    def do_OPTIONS(self):
        self._serve("OPTIONS")

    # -- one request

    def _serve(self, method):
        #: when the request came (its line and headers read)
        self.arrived = time.monotonic()
        self._unread = self._announced()
        try:
            self._route(method)
        except Failure as failure:
            self._json(failure.code, {"error": failure.text})
        except (ConnectionError, socket.timeout):
            self.close_connection = True
        except Exception as error:      # not to happen; the answer says what
            self._json(500, {"error": "the panel failed: %s" % describe_exception(error)})

    def _announced(self):
        """Bytes of body the request announces (0 if none or unknown)."""
        length = self.headers.get("Content-Length", "0").strip()
        return int(length) if length.isdigit() else 0

    def _route(self, method):
        server = self.server
        guard, panel = server.guard, server.panel
        host = self.headers.get("Host")
        if not guard.host_ok(host):
            raise Failure(403, "the Host header does not name this panel (it answers to the "
                               "address it listens on, localhost, 127.0.0.1 and [::1], and "
                               "to names given with --allow-host)")
        if method == "POST" and not guard.origin_ok(self.headers.get("Origin"), host):
            raise Failure(403, "a request from a page of another origin is refused")
        url = urllib.parse.urlsplit(self.path)
        if method == "GET" and url.path == "/" and url.query:
            given = urllib.parse.parse_qs(url.query).get("token", [None])[0]
            if not guard.token_ok(given):
                raise Failure(401, "the token is not this panel's")
            # The token goes into the cookie and out of the address bar.
            self._answer(303, b"", "text/plain", [("Location", "/"),
                                                  ("Set-Cookie", guard.cookie())])
            return
        if not guard.authorized(self.headers):
            raise Failure(401, "a token is needed: Authorization: Bearer TOKEN, or open the "
                               "address the panel printed")
        if self._unread > MAX_BODY:
            raise Failure(413, "the body is longer than %d bytes" % MAX_BODY)
        parts = [urllib.parse.unquote(part) for part in url.path.split("/")[1:]]
        if parts[:1] != ["api"]:
            self._static(method, url.path)
            return
        route, allowed = self._api(parts[1:])
        if route is None:
            raise Failure(404, "no such path: %s" % url.path)
        if method not in allowed:
            self._allow = allowed
            raise Failure(405, "%s takes %s" % (url.path, " and ".join(allowed)))
        if method == "POST":
            if panel.read_only and parts[-1] not in STOPS:
                raise Failure(403, "the panel is read-only: it takes stops only")
            route(self._body())
        else:
            route()

    def _api(self, parts):
        """The handler of the API path PARTS (after /api) and its methods;
        (None, ()) for no such path."""
        panel = self.server.panel
        if parts == ["machine"]:
            return lambda: self._json(200, panel.description()), ("GET",)
        if parts == ["state"]:
            return lambda: self._json(200, panel.state()), ("GET",)
        if parts == ["events"]:
            return self._events, ("GET",)
        if parts == ["stop"]:
            return lambda body: self._stop(None, body), ("POST",)
        if parts == ["home"]:
            return lambda body: self._json(*panel.home(body)), ("POST",)
        if len(parts) == 3 and parts[0] == "axes":
            name, action = parts[1], parts[2]
            actions = {"stop": lambda body: self._stop([name], body),
                       "move": lambda body: self._json(*panel.move(name, body)),
                       "jog": lambda body: self._json(*panel.jog(name, body)),
                       "positions": lambda body: self._json(*panel.teach(name, body))}
            if action in actions:
                def checked(body):
                    panel.axis(name)        # 404 for no such axis
                    actions[action](body)
                return checked, ("POST",)
        return None, ()

    def _stop(self, names, body):
        from .api import fields
        fields(body)
        failed = self.server.panel.stop(names)
        stopped = [name for name in names or self.server.panel.machine.axes if name not in failed]
        if failed:
            self._json(502, {"error": "the stop of %s could not be sent: %s" % (
                ", ".join(failed), "; ".join("%s: %s" % (name, describe_exception(error))
                                             for name, error in failed.items())),
                "stopped": stopped})
        else:
            self._json(200, {"stopped": stopped})

    def _body(self):
        """The request's body as a JSON object (an empty body: {})."""
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            raise Failure(400, "send the body with a Content-Length")
        length = self.headers.get("Content-Length", "0").strip()
        if not length.isdigit():
            raise Failure(400, "the Content-Length %r is no number" % length)
        raw = self.rfile.read(int(length))
        self._unread = 0
        if not raw.strip():
            return {}
        try:
            data = json.loads(raw.decode("utf-8"), parse_constant=_reject_constant,
                              parse_float=_finite, parse_int=_integer)
        except RecursionError:
            raise Failure(400, "the body is nested too deep")
        except ValueError as error:
            raise Failure(400, "the body is no JSON (%s)" % error)
        if not isinstance(data, dict):
            raise Failure(400, "the body must be a JSON object")
        return data

    def _static(self, method, path):
        asset = self.server.assets.get(path)
        if asset is None:
            raise Failure(404, "no such path: %s" % path)
        if method not in ("GET", "HEAD"):
            self._allow = ("GET", "HEAD")
            raise Failure(405, "%s takes GET" % path)
        data, kind = asset
        self._answer(200, data, kind, head=method == "HEAD")

    # -- answers

    def _json(self, code, data):
        body = (json.dumps(data, allow_nan=False) + "\n").encode("utf-8")
        extra = [("WWW-Authenticate", "Bearer")] if code == 401 else []
        if code == 405:
            extra.append(("Allow", ", ".join(getattr(self, "_allow", ("GET",)))))
        self._answer(code, body, "application/json", extra)

    def _answer(self, code, body, kind, extra=(), head=False):
        if self._unread:
            # The body was not read: the connection cannot go on.
            self.close_connection = True
        self.send_response(code)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        for name, value in HEADERS + tuple(extra):
            self.send_header(name, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if not head:
            self.wfile.write(body)

    def _events(self):
        panel = self.server.panel
        stream = panel.broadcaster.open()
        if stream is None:
            raise Failure(503, "%d event streams are open already, the most the panel serves"
                          % MAX_STREAMS)
        try:
            self.close_connection = True
            self.send_response(200)
            self.send_header("Content-Type", "text/event-stream; charset=utf-8")
            for name, value in HEADERS:
                self.send_header(name, value)
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(b"retry: 1000\n\n" + encoded("hello", {
                "stream": stream.id, "lease": panel.holds.lease}))
            while True:
                chunks = stream.next(STREAM_LOOK)
                if chunks is None:
                    break
                if chunks:
                    self.wfile.write(b"".join(chunks))
                elif self._gone():
                    break
        except (OSError, ValueError):
            pass        # the client has gone
        finally:
            panel.broadcaster.close_stream(stream)
            panel.stream_closed(stream.id)

    def _gone(self):
        """Whether the client closed its end of the connection."""
        try:
            readable = select.select([self.connection], [], [], 0)[0]
            return bool(readable) and self.connection.recv(1, socket.MSG_PEEK) == b""
        except (OSError, ValueError):
            return True


class PanelServer(socketserver.ThreadingMixIn, HTTPServer):
    """The HTTP server of PANEL (an api.Panel) on HOST and PORT (0: any
    free port), taking TOKEN (default: a new one) and the Host names
    ALLOWED besides the listening address and loopback's."""

    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, panel, host="127.0.0.1", port=0, allowed=(), token=None):
        self.address_family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.panel = panel
        self.assets = load_assets()
        HTTPServer.__init__(self, (host, port), Handler)
        self.host = host
        self.guard = Guard(token or new_token(), host, self.server_address[1], allowed)
        self._thread = None

    def handle_error(self, request, client_address):
        # A client gone in the middle of an answer is no news; anything else
        # is told in one line, and the server goes on.
        error = sys.exc_info()[1]
        if not isinstance(error, OSError):
            sys.stderr.write("qzr-kov: panel: a request from %s failed: %s\n"
                             % (client_address[0], describe_exception(error)))

    def server_bind(self):
        # HTTPServer's own looks the host's name up, which may wait for a
        # name server on a machine without one.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    @property
    def port(self):
        return self.server_address[1]

    @property
    def url(self):
        """The address to open, with the token."""
        return "http://%s:%d/?token=%s" % (url_host(self.host), self.port, self.guard.token)

    def start(self):
        self._thread = threading.Thread(target=self.serve_forever, args=(0.1,), daemon=True,
                                        name="qzr-kov panel server")
        self._thread.start()
        return self

    def close(self):
        """No more connections; the streams end with the panel's close."""
        if self._thread is not None:
            self.shutdown()
            self._thread.join()
        self.server_close()


def run(axes, options, signals):
    """The command ``panel``: serves the machine of AXES (session.Axes)
    until a stop signal or a failure ends it, then stops every axis."""
    host, port = options.listen
    panel = Panel(axes.machine, options.machine, axes.seam, axes.simulated, options.read_only,
                  signals.fail)
    try:
        server = PanelServer(panel, host, port, options.allow_host)
    except OSError as error:
        raise ToolError("cannot listen on %s:%d (%s)" % (url_host(host), port,
                                                         describe_exception(error)))
    try:
        panel.open()
        server.start()
        if not is_loopback(host):
            sys.stderr.write("qzr-kov: warning: the panel listens on %s:%d, beyond this "
                             "machine: whoever reaches it with the token can move the axes\n"
                             % (url_host(host), server.port))
            sys.stderr.flush()
        sys.stdout.write("panel: %s\n" % server.url)
        sys.stdout.flush()
        if options.open:
            import webbrowser
            threading.Thread(target=webbrowser.open, args=(server.url,), daemon=True).start()
        while not signals.wait(1.0):
            pass
    finally:
        panel.close()       # every axis stopped first
        server.close()
    sys.stdout.write("panel closed (%s): every axis was stopped\n" % signals.reason)
    sys.stdout.flush()
    if signals.failure is not None:
        raise signals.failure
    return EXIT_OK
