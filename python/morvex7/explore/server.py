"""The explorer's web server: the page's files and a small JSON interface, on 127.0.0.1 only.

Routes
------
GET  /                    the page (static/index.html); /static/NAME its scripts and style
GET  /api/model           the model: title, parameters with ranges, polarisations, defaults
POST /api/spectrum        {params, view} -> the drawn spectrum, or the stop text of a failed run
POST /api/measured        {name, text}   -> the measured spectrum, read from the file's text
POST /api/fit             {params, view, fit: [names], shift} -> the fit's report and values
POST /api/export/csv      {params, view} -> the drawn curve as CSV (a download)
POST /api/export/toml     {params, view} -> the model description with the page's values

Requests must name this server in their Host header (no other site's page can reach it through
a name that resolves here), and POST bodies must be JSON (no other site's page can send those
without this server agreeing). The server reads only its own static files, the model and the
work directory, and writes only in the work directory.
"""
from __future__ import annotations

import json
import sys
import threading
import traceback
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from typing import Any

from morvex7.explore.session import RequestError, Session

HOST = "127.0.0.1"
MAX_BODY = 8 << 20
STATIC_TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
                ".css": "text/css; charset=utf-8", ".svg": "image/svg+xml"}


def static_file(name: str) -> tuple[bytes, str] | None:
    """A file of the package's static folder by plain name (no paths), with its type."""
    if "/" in name or "\\" in name or name.startswith(".") or not name:
        return None
    suffix = name[name.rfind("."):] if "." in name else ""
    if suffix not in STATIC_TYPES:
        return None
    item = resources.files("morvex7.explore").joinpath("static", name)
    if not item.is_file():
        return None
    return item.read_bytes(), STATIC_TYPES[suffix]


class ExploreServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = False

    def __init__(self, session: Session, port: int = 0, quiet: bool = True):
        self.session = session
        self.quiet = quiet
        super().__init__((HOST, port), Handler)

    @property
    def port(self) -> int:
        return self.server_address[1]

    @property
    def url(self) -> str:
        return f"http://{HOST}:{self.port}/"

    def allowed_hosts(self) -> set[str]:
        return {f"{HOST}:{self.port}", f"localhost:{self.port}"}


class Handler(BaseHTTPRequestHandler):
    server: ExploreServer
    protocol_version = "HTTP/1.1"

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base's name
        if not self.server.quiet:
            super().log_message(format, *args)

    # -- replies ---------------------------------------------------------------------------

    def _send(self, status: int, body: bytes, content_type: str,
              download: str | None = None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Content-Security-Policy",
                         "default-src 'self'; img-src 'self' data: blob:; style-src 'self'")
        if download:
            self.send_header("Content-Disposition", f'attachment; filename="{download}"')
        self.end_headers()
        self.wfile.write(body)

    def _json(self, status: int, data: Any) -> None:
        self._send(status, json.dumps(data).encode(), "application/json")

    def _error(self, status: int, message: str) -> None:
        self._json(status, {"ok": False, "error": message})

    def _host_ok(self) -> bool:
        if self.headers.get("Host", "") in self.server.allowed_hosts():
            return True
        self._error(HTTPStatus.FORBIDDEN, "this server answers requests to "
                    f"{self.server.url} only")
        return False

    # -- GET -------------------------------------------------------------------------------

    def do_GET(self) -> None:  # noqa: N802 - the base's name
        if not self._host_ok():
            return
        path = self.path.split("?", 1)[0]
        if path == "/favicon.ico":
            self.send_response(HTTPStatus.NO_CONTENT)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if path == "/api/model":
            self._json(HTTPStatus.OK, self.server.session.describe())
            return
        name = "index.html" if path in ("/", "/index.html") else (
            path[len("/static/"):] if path.startswith("/static/") else "")
        found = static_file(name)
        if found is None:
            self._error(HTTPStatus.NOT_FOUND, f"no such page: {path[:80]}")
            return
        self._send(HTTPStatus.OK, *found)

    # -- POST ------------------------------------------------------------------------------

    def _body(self) -> Any:
        if self.headers.get("Content-Type", "").split(";")[0].strip() != "application/json":
            raise RequestError("requests must be sent as application/json")
        try:
            length = int(self.headers.get("Content-Length", ""))
        except ValueError:
            raise RequestError("the request has no length") from None
        if not 0 <= length <= MAX_BODY:
            raise RequestError(f"the request is larger than {MAX_BODY >> 20} MB")
        raw = self.rfile.read(length)
        try:
            return json.loads(raw.decode("utf-8"))
        except (UnicodeDecodeError, json.JSONDecodeError) as exc:
            raise RequestError(f"the request is not valid JSON ({exc})") from None

    def do_POST(self) -> None:  # noqa: N802 - the base's name
        if not self._host_ok():
            return
        session = self.server.session
        routes = {"/api/spectrum": session.spectrum, "/api/measured": session.load_measured,
                  "/api/fit": session.fit}
        downloads = {"/api/export/csv": (session.export_csv, "spectrum.csv", "text/csv"),
                     "/api/export/toml": (session.export_toml, "model.toml",
                                          "application/toml")}
        path = self.path.split("?", 1)[0]
        try:
            body = self._body()
            if path in routes:
                reply = (HTTPStatus.OK, json.dumps(routes[path](body)).encode(),
                         "application/json", None)
            elif path in downloads:
                make, filename, kind = downloads[path]
                reply = (HTTPStatus.OK, make(body).encode(), f"{kind}; charset=utf-8", filename)
            else:
                reply = _error_reply(HTTPStatus.NOT_FOUND, f"no such request: {path[:80]}")
        except RequestError as exc:
            reply = _error_reply(HTTPStatus.BAD_REQUEST, str(exc))
        except Exception as exc:  # noqa: BLE001 - the page gets a message, the terminal the trace
            traceback.print_exc(file=sys.stderr)
            reply = _error_reply(HTTPStatus.INTERNAL_SERVER_ERROR,
                                 f"internal error: {type(exc).__name__}: {exc}")
        try:
            self._send(*reply)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the page dropped a request that a newer one replaced


def _error_reply(status: int, message: str) -> tuple:
    return status, json.dumps({"ok": False, "error": message}).encode(), "application/json", None


def serve_in_thread(server: ExploreServer) -> threading.Thread:
    """Serve in a daemon thread (for tests); stop with ``server.shutdown()``."""
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    return thread
