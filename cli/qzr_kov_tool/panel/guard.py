"""Who may talk to the panel: the token made at start, the cookie the page
gets, and the Host and Origin headers.

- Every request carries the token: ``Authorization: Bearer TOKEN``, or the
  cookie set when the page was opened with ``?token=TOKEN`` (HttpOnly, so
  no script reads it; SameSite=Strict, so no other site's page sends it).
  Tokens are compared in constant time.
- The Host header names the listening address, localhost, 127.0.0.1, [::1]
  or a name allowed with --allow-host, on the panel's port: a page of
  another site whose name was made to point at this machine (DNS
  rebinding) sends its own name, and is refused.
- A POST whose Origin is present must come from the panel's own origin
  (``http://`` and the Host it was sent to): a form or a script of another
  site is refused.
"""

import hmac
import ipaddress
import secrets

#: random bytes of a token (it is their URL-safe base64: 43 characters)
TOKEN_BYTES = 32
#: the names of this machine a browser on it may use
LOOPBACK_NAMES = ("localhost", "127.0.0.1", "[::1]")


def new_token():
    return secrets.token_urlsafe(TOKEN_BYTES)


def url_host(host):
    """HOST as it stands in a URL or a Host header: an IPv6 address in
    brackets."""
    return "[%s]" % host if ":" in host else host


def is_loopback(host):
    """Whether HOST (as given to --listen) is reached from this machine only."""
    if host.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _split_host(value):
    """A Host header's (name, port or None), lower case; None if malformed."""
    value = value.strip().lower()
    if value.startswith("["):
        end = value.find("]")
        if end < 0:
            return None
        name, rest = value[:end + 1], value[end + 1:]
    else:
        name, colon, port = value.partition(":")
        rest = colon + port
    if rest and not (rest.startswith(":") and rest[1:].isdigit()):
        return None
    return name, int(rest[1:]) if rest else None


def _secret(text):
    return text.encode("utf-8", "surrogateescape")


class Guard(object):
    """The checks of a panel whose TOKEN was made at start, listening on
    HOST (as given to --listen) and PORT (the real one); ALLOWED: more
    names for the Host header."""

    def __init__(self, token, host, port, allowed=()):
        self.token = token
        self.port = port
        self.names = frozenset([url_host(host).lower()] + list(LOOPBACK_NAMES)
                               + [url_host(name).lower() for name in allowed])
        #: the cookie's name: one per port, so that two panels of one
        #: machine do not take each other's
        self.cookie_name = "qzr_kov_panel_%d" % port

    def host_ok(self, header):
        """Whether the Host header HEADER names the panel."""
        if not header:
            return False
        split = _split_host(header)
        if split is None:
            return False
        name, port = split
        return name in self.names and port in (None, self.port) \
            and (port is not None or self.port == 80)

    def origin_ok(self, origin, host):
        """Whether a POST with the Origin header ORIGIN (None: none given),
        sent to HOST (a Host header that host_ok took), comes from the
        panel's own page."""
        if origin is None:
            return True
        return origin.strip().lower() == "http://" + host.strip().lower()

    def token_ok(self, given):
        return given is not None and hmac.compare_digest(_secret(given), _secret(self.token))

    def authorized(self, headers):
        """Whether the request HEADERS (an email.message.Message) carry the
        token, as a bearer or in the panel's cookie."""
        bearer = headers.get("Authorization", "")
        scheme, _, value = bearer.strip().partition(" ")
        if scheme.lower() == "bearer" and self.token_ok(value.strip()):
            return True
        for cookies in headers.get_all("Cookie") or []:
            for part in cookies.split(";"):
                name, equal, value = part.strip().partition("=")
                if equal and name == self.cookie_name and self.token_ok(value):
                    return True
        return False

    def cookie(self):
        """The Set-Cookie value that hands the page the token."""
        return "%s=%s; HttpOnly; SameSite=Strict; Path=/" % (self.cookie_name, self.token)
