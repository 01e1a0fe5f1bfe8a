"""Keeps web pages from driving the master.

The master has no authentication, so any page a browser on this machine opens
could otherwise connect to it: directly (a cross-site WebSocket, which browsers
allow) or by DNS rebinding (a name of the attacker's that later resolves to
127.0.0.1). The guard refuses, before the application sees them, every request
whose Host header does not name the served address and port, and every
WebSocket handshake that comes from a page of a foreign origin.
"""
import ipaddress
import string

from tavrino_master.logging_config import get_logger

logger = get_logger(__name__)

LOOPBACK_NAMES = frozenset({"127.0.0.1", "localhost", "::1"})
WILDCARD_ADDRESSES = frozenset({"", "0.0.0.0", "::"})
DEFAULT_PORTS = {"http": 80, "ws": 80, "https": 443, "wss": 443}
ALLOWED_ORIGINS_ENV = "TAVRINO_ALLOWED_ORIGINS"

_FORBIDDEN = b"Forbidden\n"
_AUTHORITY_CHARS = frozenset(string.ascii_letters + string.digits + "-._:[]")


def split_host_port(text):
    """(host, port) of "host", "host:port", "[v6]" or "[v6]:port"; host lower-cased and
    unbracketed, port None when absent. None for anything else."""
    if text.startswith("["):
        end = text.find("]")
        if end < 0:
            return None
        host, rest = text[1:end], text[end + 1:]
        if not _is_ipv6(host):
            return None
    else:
        host, sep, port_text = text.partition(":")
        rest = sep + port_text
        if not host or ":" in port_text:
            return None
    if not rest:
        return host.lower(), None
    port_text = rest[1:]
    if rest[0] != ":" or not port_text.isascii() or not port_text.isdigit() or len(port_text) > 5:
        return None
    port = int(port_text)
    return (host.lower(), port) if 0 < port < 65536 else None


def _is_ipv6(text):
    try:
        return isinstance(ipaddress.ip_address(text), ipaddress.IPv6Address)
    except ValueError:
        return False


def _ip(text):
    try:
        return ipaddress.ip_address(text)
    except ValueError:
        return None


def _same_host(a, b):
    ia, ib = _ip(a), _ip(b)
    return ia == ib if ia is not None and ib is not None else a == b


def normalize_origin(text):
    """The canonical form of an origin as browsers send it ("scheme://host[:port]", default
    port left out; or "null"), or None when the text is not one."""
    text = text.strip()
    if text.lower() == "null":
        return "null"
    scheme, sep, rest = text.partition("://")
    if not sep or not scheme or not scheme.isascii() or not (scheme[0].isalpha() and all(
            c.isalnum() or c in "+-." for c in scheme)):
        return None
    scheme = scheme.lower()
    if rest.endswith("/"):
        rest = rest[:-1]
    if not rest or not _AUTHORITY_CHARS.issuperset(rest):
        return None
    parts = split_host_port(rest)
    if parts is None:
        return None
    host, port = parts
    if port == DEFAULT_PORTS.get(scheme):
        port = None
    address = _ip(host)
    if address is not None:
        host = str(address)
    shown = f"[{host}]" if ":" in host else host
    return f"{scheme}://{shown}" + (f":{port}" if port is not None else "")


def allowed_origins_from(option_values, environ):
    """The origins the user allows: every --allow-origin value and the comma-separated
    entries of TAVRINO_ALLOWED_ORIGINS. Raises ValueError naming an entry that is no origin."""
    entries = list(option_values or [])
    entries += [e for e in (environ.get(ALLOWED_ORIGINS_ENV) or "").split(",") if e.strip()]
    allowed = set()
    for entry in entries:
        origin = normalize_origin(entry)
        if origin is None:
            raise ValueError(f"not an origin: {entry!r} (expected scheme://host[:port] or null)")
        allowed.add(origin)
    return frozenset(allowed)


class HostGuard:
    """ASGI middleware in front of the master's application.

    host, port: where the master listens. Host headers must name that address (or, when
    it is a loopback address, 127.0.0.1, localhost or [::1]; when it is a wildcard
    address, localhost or any IP address, which no rebinding can forge) with that port.
    A WebSocket handshake without Origin comes from a native program and passes; one
    from a page passes when its origin is http(s) on a loopback name, or is listed in
    allowed_origins (normalized; "null" only if listed there)."""

    def __init__(self, app, host, port, allowed_origins=()):
        self.app = app
        self.port = port
        self.allowed_origins = frozenset(allowed_origins)
        host = host.strip("[]").lower()
        self._any_ip = host in WILDCARD_ADDRESSES
        address = _ip(host)
        loopback = host == "localhost" or (address is not None and address.is_loopback)
        self._names = {host}
        if loopback or self._any_ip:
            self._names |= LOOPBACK_NAMES

    async def __call__(self, scope, receive, send):
        kind = scope["type"]
        if kind == "http" or kind == "websocket":
            hosts, origins = [], []
            for name, value in scope.get("headers") or ():
                if name == b"host":
                    hosts.append(value)
                elif name == b"origin":
                    origins.append(value)
            if not self.host_allowed(hosts, scope.get("scheme")):
                logger.warning("Refused %s request for %r with Host %r", "WebSocket" if kind == "websocket"
                               else "HTTP", scope.get("path"), _shown(hosts))
                return await self._refuse(kind, receive, send)
            if kind == "websocket" and not self.origin_allowed(origins):
                logger.warning("Refused WebSocket connection to %r from origin %r", scope.get("path"),
                               _shown(origins))
                return await self._refuse(kind, receive, send)
        await self.app(scope, receive, send)

    def host_allowed(self, values, scheme=None):
        parts = _parse_single(values, split_host_port)
        if parts is None:
            return False
        host, port = parts
        if port is None:
            port = DEFAULT_PORTS.get(scheme or "http")
        if port != self.port:
            return False
        if self._any_ip and _ip(host) is not None:
            return True
        return any(_same_host(host, name) for name in self._names)

    def origin_allowed(self, values):
        if not values:
            return True
        origin = _parse_single(values, normalize_origin)
        if origin is None:
            return False
        if origin in self.allowed_origins:
            return True
        scheme, _, rest = origin.partition("://")
        if scheme not in ("http", "https"):
            return False
        host, _port = split_host_port(rest)
        return any(_same_host(host, name) for name in LOOPBACK_NAMES)

    @staticmethod
    async def _refuse(kind, receive, send):
        if kind == "websocket":
            # Closing before accepting makes the server answer the handshake with 403.
            message = await receive()
            if message.get("type") == "websocket.connect":
                await send({"type": "websocket.close", "code": 1008})
            return
        await send({"type": "http.response.start", "status": 403,
                    "headers": [(b"content-type", b"text/plain; charset=utf-8"),
                                (b"content-length", str(len(_FORBIDDEN)).encode())]})
        await send({"type": "http.response.body", "body": _FORBIDDEN})


def _parse_single(values, parse):
    """parse(text) of a header given exactly once in ASCII, else None."""
    if len(values) != 1:
        return None
    try:
        return parse(values[0].decode("ascii"))
    except UnicodeDecodeError:
        return None


def _shown(values):
    """What a refused request carried in a header, for the log line."""
    if not values:
        return None
    texts = [v.decode("latin-1")[:200] for v in values]
    return texts[0] if len(texts) == 1 else texts
