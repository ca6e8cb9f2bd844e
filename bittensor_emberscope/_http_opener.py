"""The opener of the extension module's own HTTP exchanges (host/http.cpp imports it at call time).

Its connections report each socket they open to `note` (the exchange's deadline, which shuts
them down when it passes); its redirect handler drops the Authorization header on the way to
another origin (scheme, host, port), or follows no redirect at all. When a caller substitutes
`urllib.request.urlopen`, the host code calls the substitute instead and this opener is not used.
"""

from __future__ import annotations

import http.client
import urllib.parse
import urllib.request
from collections.abc import Callable

__all__ = ["opener"]

Note = Callable[[int], object] | None


def origin(url: str) -> tuple[str, str, int | None] | None:
    """(scheme, host, port) of a URL, the port filled in for http and https; None when the
    port is not a number."""
    parts = urllib.parse.urlsplit(url)
    try:
        port = parts.port
    except ValueError:
        return None
    scheme = parts.scheme.lower()
    return (scheme, (parts.hostname or "").lower(), port or {"http": 80, "https": 443}.get(scheme))


def noting(base, note: Note):
    """A connection class like `base` whose every new socket is reported to `note`."""
    def make(host, **kwargs):
        conn = base(host, **kwargs)
        connect = conn._create_connection

        def create(*args, **kw):
            sock = connect(*args, **kw)
            if note is not None:
                note(sock.fileno())
            return sock

        conn._create_connection = create
        return conn

    return make


class HTTPHandler(urllib.request.HTTPHandler):
    def __init__(self, note: Note) -> None:
        super().__init__()
        self.note = note

    def http_open(self, req):
        return self.do_open(noting(http.client.HTTPConnection, self.note), req)


_tls: list = []


def tls_context():
    """One context for the life of the process, as the host's own opener keeps one: loading the
    certificate store costs more than a whole exchange."""
    if not _tls:
        make = getattr(http.client, "_create_https_context", None)
        _tls.append(make(http.client.HTTPSConnection._http_vsn) if make else
                    __import__("ssl").create_default_context())
    return _tls[0]


class HTTPSHandler(urllib.request.HTTPSHandler):
    def __init__(self, note: Note) -> None:
        super().__init__(context=tls_context())
        self.note = note

    def https_open(self, req):
        return self.do_open(noting(http.client.HTTPSConnection, self.note), req,
                            context=self._context)


class RedirectHandler(urllib.request.HTTPRedirectHandler):
    def __init__(self, follow: bool) -> None:
        self.follow = follow

    def http_error_302(self, req, fp, code, msg, headers):
        if not self.follow:
            return None  # the 3xx answer itself becomes the HTTPError
        return super().http_error_302(req, fp, code, msg, headers)

    http_error_301 = http_error_303 = http_error_307 = http_error_308 = http_error_302

    def redirect_request(self, req, fp, code, msg, headers, newurl):
        new = super().redirect_request(req, fp, code, msg, headers, newurl)
        if new is not None:
            # The origin of the first request of the chain travels with each redirect.
            new.emberscope_origin = getattr(req, "emberscope_origin", None) or origin(req.full_url)
            if origin(new.full_url) != new.emberscope_origin:
                new.remove_header("Authorization")
        return new


_plain: dict[bool, urllib.request.OpenerDirector] = {}


def opener(follow: bool, note: Note) -> urllib.request.OpenerDirector:
    """The opener of one exchange: `follow` says whether redirects are followed, `note` (or
    None) is told each socket the exchange opens."""
    # Without a deadline to report sockets to, one opener per redirect rule serves every
    # exchange, as the host keeps one for urlopen.
    if note is None and follow in _plain:
        return _plain[follow]
    handlers = [RedirectHandler(follow), HTTPHandler(note)]
    if hasattr(http.client, "HTTPSConnection"):
        handlers.append(HTTPSHandler(note))
    made = urllib.request.build_opener(*handlers)
    if note is None:
        _plain[follow] = made
    return made
