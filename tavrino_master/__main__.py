"""The master's host program: the business layer served over HTTP and WebSocket.

    /usr/bin/python3 -m tavrino_master [--host 127.0.0.1] [--port 8000]
        [--watchdog-port N] [--docs-port N] [--token T] [--allow-origin ORIGIN ...]

Clients connect to ws://HOST:PORT/ws/{client_type}/{client_id}; GET / answers
the status and GET /connections the connected client ids. The token (given,
taken from TAVRINO_AUTH_TOKEN, or made afresh) goes only to the IDE process
manager.

Requests whose Host header does not name the served address and port, and
WebSocket handshakes from web pages of origins other than loopback ones (or
those allowed with --allow-origin or TAVRINO_ALLOWED_ORIGINS), are refused
(tavrino_master/host_guard.py).

The listening socket is bound before the application's start-up runs, so a busy
port ends the program before it starts anything. The programs the master
starts (kernels, IDE, inspector) find it at the address in TAVRINO_SERVER_HOST,
which the host sets: the listen address, or the loopback address of a wildcard.
"""
import argparse
import asyncio
import ctypes
import ipaddress
import logging
import os
import platform
import secrets
import socket
import sys

import uvicorn
from fastapi import FastAPI
from uvicorn.protocols.websockets.websockets_impl import WebSocketProtocol

from tavrino_master.business_layer import relvane
from tavrino_master.host_guard import ALLOWED_ORIGINS_ENV, HostGuard, allowed_origins_from
from tavrino_master.logging_config import LEVEL_VARIABLE, get_logger, level_from

logger = get_logger("tavrino_master.host")  # also when run as __main__

WEBSOCKET_PATH = "/ws/{client_type}/{client_id}"
WEBSOCKET_PREFIX = "/ws/"
CLIENT_TYPES = frozenset({"addin", "ide", "kernel", "inspector"})
TOKEN_VARIABLE = "TAVRINO_AUTH_TOKEN"
HOST_VARIABLE = "TAVRINO_SERVER_HOST"
PING_VARIABLE = "TAVRINO_PING_INTERVAL"
# The slowest reader the keep-alive keeps, in bytes a second: what was written to a client since the last ping it
# answered must take it no longer than at this pace, beside the keep-alive's time-out (answer_time()).
SLOWEST_PACE = 16 * 1024
# Closing the clients when the master stops: no longer than this for their answers.
CLOSE_TIMEOUT = 2.0

ENVIRONMENT_HELP = f"""\
environment variables read by the master:
  {TOKEN_VARIABLE}     the token for the IDE (preferred to --token, which every
                         local user can read in the process list); removed from
                         the environment that kernels and the inspector inherit
  {ALLOWED_ORIGINS_ENV} origins allowed besides loopback pages, comma-separated
  {LEVEL_VARIABLE}      DEBUG, INFO (default), WARNING, ERROR or CRITICAL, any case
  TAVRINO_IDE_CMD        command line of the IDE program (none started without it)
  TAVRINO_INSPECTOR_CMD  command line of the inspector program; the port is appended
  TAVRINO_KERNEL_STANDBY 1: kernel programs hold their process without connecting
  TAVRINO_SLOW_CLIENT_TIMEOUT seconds a client may take nothing while data waits
                         for it before the master closes it (default 15)
  {PING_VARIABLE}  seconds between keep-alive pings, and allowed for each
                         answer beside the time what was written ahead of the
                         ping takes at {SLOWEST_PACE} bytes a second (default 20)
  PYTHONPATH             kept by package installs, which put their folders ahead of it
set by the master for the programs it starts:
  {HOST_VARIABLE}    the address to connect to (loopback for a wildcard --host)
  TAVRINO_SERVER_PORT, TAVRINO_WATCHDOG_PORT, TAVRINO_DOCS_PORT, {TOKEN_VARIABLE}
                         (the IDE only)
"""
# The scope key under which a WebSocket connection offers the business layer a way to drop it at once: a
# client that stops reading must not hold its unsent data, and a close handshake would wait behind that data.
ABORT_KEY = "tavrino.abort_transport"
# The scope key under which it offers its protocol, whose frames the business layer's outbox writes itself:
# a long message as fragments, and never more at a time than the transport's window.
FRAMES_KEY = "tavrino.frames"
# What the kernel may hold of a connection's data not yet sent: beyond it the socket takes no more, so a
# keep-alive ping never waits behind megabytes queued in the kernel for a client that reads slowly.
UNSENT_LIMIT = 64 * 1024
# How long a connection has at the master's stop to flush what it was sent before it is dropped.
SHUTDOWN_GRACE = 1.0
# How long a client closed with 1009 (a message over the size limit) or for an unanswered keep-alive ping has
# to close its end: the first is most likely still sending the message, which nobody reads any more, and the
# second has shown that it answers nothing, so a longer wait only holds back its departure.
OVERSIZE_CLOSE_TIMEOUT = 0.25


class AbortableWebSocketProtocol(WebSocketProtocol):
    """uvicorn's WebSocket protocol, whose scope also carries the connection's abort and the protocol itself."""

    def connection_made(self, transport):
        super().connection_made(transport)
        # Every byte written is counted: taken() and the keep-alive's answer_time() read the count.
        self.written = 0
        self.answered = 0  # what was written ahead of the last ping the client answered
        write = transport.write

        def counted(data):
            self.written += len(data)
            write(data)

        transport.write = counted
        sock = transport.get_extra_info("socket")
        option = getattr(socket, "TCP_NOTSENT_LOWAT", None)
        if sock is not None and option is not None and sock.family in (socket.AF_INET, socket.AF_INET6):
            try:
                sock.setsockopt(socket.IPPROTO_TCP, option, UNSENT_LIMIT)
            except OSError:
                pass

    async def run_asgi(self):
        self.scope[ABORT_KEY] = self.transport.abort
        self.scope[FRAMES_KEY] = self
        await super().run_asgi()

    def taken(self):
        """Bytes the connection's socket has taken so far: what was written, less what the transport still
        holds. The business layer's stall check closes a client whose socket takes none while data waits. Bytes
        taken prove no more than that: a stopped peer's system goes on taking them into its receive buffer."""
        return self.written - self.transport.get_write_buffer_size()

    def answer_time(self, written):
        """Seconds a client has to answer a ping written behind `written` bytes: the one rule by which the
        master judges that a client reads. Only its own answer proves it, up to the ping answered: what was
        written since the last answered ping must take the client no longer than at SLOWEST_PACE, beside the
        keep-alive's time-out. A live reader slower than its stream holds no more than the outbox let through,
        and answers in time; a stopped one does not, however much its socket took."""
        return self.ping_timeout + (written - self.answered) / SLOWEST_PACE

    async def keepalive_ping(self):
        """websockets' keep-alive, each answer due within answer_time(); the ping's future is awaited or
        cancelled, so that a close leaves no exception unretrieved behind it."""
        from websockets.exceptions import ConnectionClosed
        if self.ping_interval is None:
            return
        try:
            while True:
                await asyncio.sleep(self.ping_interval)
                # Timed from here: a ping that waits for the transport to drain is no less due.
                written = self.written
                allowed = None if self.ping_timeout is None else self.answer_time(written)
                try:
                    await asyncio.wait_for(self.answered_ping(), allowed)
                except asyncio.TimeoutError:
                    if self.open:
                        logger.warning("Closing %s: it answered no keep-alive ping within %s s, plus %.1f s for "
                                       "the %d bytes written ahead of it",
                                       self.scope["path"].removeprefix(WEBSOCKET_PREFIX), self.ping_timeout,
                                       allowed - self.ping_timeout, written - self.answered)
                    self.fail_connection(1011, "keepalive ping timeout")
                    return
                self.answered = written
        except ConnectionClosed:
            pass
        except Exception:
            logger.error("Keep-alive of %s failed", self.scope.get("path"), exc_info=True)

    async def answered_ping(self):
        pong = await self.ping()
        await pong  # on a time-out, cancelled with this coroutine

    def fail_connection(self, code=1006, reason=""):
        if code == 1009 or reason == "keepalive ping timeout":
            self.close_timeout = min(self.close_timeout, OVERSIZE_CLOSE_TIMEOUT)
        super().fail_connection(code, reason)

    def shutdown(self):
        # uvicorn's shutdown closes the transport, which waits until everything written has gone out: a
        # client that reads nothing would keep the master from stopping. Dropped after a short grace.
        transport = self.transport
        super().shutdown()
        asyncio.get_running_loop().call_later(SHUTDOWN_GRACE, transport.abort)


def create_app():
    """The application, with the business layer's own coroutines as its hooks and handlers."""
    # No documentation pages: they would load scripts from a public CDN inside an origin the guard trusts.
    app = FastAPI(title="Tavrino master", on_startup=[relvane.startup_event],
                  on_shutdown=[relvane.shutdown_event], docs_url=None, redoc_url=None, openapi_url=None)
    app.add_api_websocket_route(WEBSOCKET_PATH, relvane.websocket_endpoint)
    app.add_api_route("/", relvane.root, methods=["GET"], response_model=None)
    app.add_api_route("/connections", relvane.get_connections, methods=["GET"], response_model=None)
    return app


def port_number(text):
    try:
        port = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 0 < port < 65536:
        raise argparse.ArgumentTypeError(f"{port} is not a port (1-65535)")
    return port


def parse_args(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m tavrino_master", description="Run the Tavrino master.",
                                     epilog=ENVIRONMENT_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=port_number, default=8000, help="port to listen on (default 8000)")
    parser.add_argument("--watchdog-port", type=port_number, help="the IDE's watchdog port (default: port + 1)")
    parser.add_argument("--docs-port", type=port_number, help="the IDE's documentation port (default: port + 2)")
    parser.add_argument("--token", help=f"token handed to the IDE (default: ${TOKEN_VARIABLE}, else a new one); "
                                        f"prefer ${TOKEN_VARIABLE}: a command line is visible to every local user")
    parser.add_argument("--allow-origin", action="append", default=[], metavar="ORIGIN",
                        help="also accept WebSocket connections from pages of this origin, e.g. "
                             f"https://addin.example.com (repeatable; also ${ALLOWED_ORIGINS_ENV}, comma-separated); "
                             "null only when named, and it admits every site's sandboxed frames")
    args = parser.parse_args(argv)
    try:
        args.allowed_origins = allowed_origins_from(args.allow_origin, os.environ)
    except ValueError as e:
        parser.error(str(e))
    try:
        args.log_level = level_from(os.environ)
    except ValueError as e:
        parser.error(f"{LEVEL_VARIABLE}: {e}")
    for option, offset in (("watchdog_port", 1), ("docs_port", 2)):
        if getattr(args, option) is None:
            if args.port + offset > 65535:
                parser.error(f"--port {args.port} leaves no default --{option.replace('_', '-')}: give one")
            setattr(args, option, args.port + offset)
    if not args.token:
        args.token = os.environ.get(TOKEN_VARIABLE) or secrets.token_urlsafe(32)
    return args


def uvicorn_options(host, port):
    """How the master runs uvicorn."""
    # The master's logging set-up already serves uvicorn's loggers; its own would print every line twice.
    # Without a level uvicorn would wrap the app in its per-message trace logger, which costs on every
    # message even though nothing is printed: give its loggers the level the master's already have.
    # No per-message compression: on a loopback link it costs both ends CPU and saves nothing.
    ping = ping_interval(os.environ)
    return {"host": host, "port": port, "log_config": None, "log_level": logging.getLogger().getEffectiveLevel(),
            "ws": AbortableWebSocketProtocol, "ws_per_message_deflate": False, "ws_ping_interval": ping,
            "ws_ping_timeout": ping}


def ping_interval(environ):
    """Seconds between keep-alive pings, and allowed for each answer: TAVRINO_PING_INTERVAL, else 20."""
    try:
        value = float(environ.get(PING_VARIABLE, ""))
    except ValueError:
        return 20.0
    return value if value > 0 else 20.0


def bind(host, port):
    """Listening sockets for every address `host` names; OSError when one cannot be had."""
    infos = socket.getaddrinfo(host or None, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    sockets = []
    try:
        for family, kind, proto, _name, address in dict.fromkeys(infos):
            sock = socket.socket(family, kind, proto)
            sockets.append(sock)
            if os.name == "posix":  # a port left in TIME_WAIT; never one that another program listens on
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            if family == socket.AF_INET6:
                sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            sock.bind(address)
            sock.listen(2048)
    except OSError:
        for sock in sockets:
            sock.close()
        raise
    return sockets


def connect_address(sockets):
    """Where the master's own programs reach it: the first bound address, a wildcard
    replaced by the loopback address of its family."""
    address = ipaddress.ip_address(sockets[0].getsockname()[0].partition("%")[0])
    if address.is_unspecified:
        address = ipaddress.ip_address("::1" if address.version == 6 else "127.0.0.1")
    return str(address)


class ClientRefusalLog:
    """Logs why the business layer will turn a WebSocket client away (bad client type or
    id): it closes such a handshake unaccepted, which the client sees only as a 403."""

    def __init__(self, app):
        self.app = app

    async def __call__(self, scope, receive, send):
        if scope["type"] == "websocket":
            reason = refusal_reason(scope.get("path") or "")
            if reason:
                logger.warning("Refused WebSocket client %r: %s", scope.get("path"), reason)
        await self.app(scope, receive, send)


def refusal_reason(path):
    if not path.startswith(WEBSOCKET_PREFIX):
        return None
    parts = path[len(WEBSOCKET_PREFIX):].split("/")
    if len(parts) != 2 or not all(parts):
        return None  # not the endpoint's route
    client_type, client_id = parts
    if client_type not in CLIENT_TYPES:
        return "Invalid client type"
    valid, message = relvane.validate_client_id(client_id)
    return None if valid else f"Invalid client ID: {message}"


class MasterServer(uvicorn.Server):
    """uvicorn's server, closing every WebSocket client with 1001 (going away) when the
    master stops, rather than dropping its connection."""

    async def shutdown(self, sockets=None):
        from websockets.legacy.protocol import WebSocketCommonProtocol
        for server in self.servers:
            server.close()
        open_sockets = [c for c in list(self.server_state.connections)
                        if isinstance(c, WebSocketCommonProtocol) and c.open]
        if open_sockets:
            # Not wait_for: a close() that is cancelled still waits for its TCP close, which a client that
            # reads nothing never gives. Whoever has not answered in time is dropped by the protocol's shutdown.
            closing = [asyncio.ensure_future(close_going_away(c)) for c in open_sockets]
            await asyncio.wait(closing, timeout=CLOSE_TIMEOUT)
        await super().shutdown(sockets)


async def close_going_away(connection):
    """Closes one client with 1001; a client dropped before its close handshake ended is no error."""
    from websockets.exceptions import ConnectionClosed
    try:
        await connection.close(1001, "Master stopping")
    except (ConnectionClosed, OSError):
        pass


# glibc's mallopt parameter and the threshold set: above asyncio's 256 KiB read buffer, and no more than
# what 32-bit glibc accepts (half its 1 MiB heap size).
M_MMAP_THRESHOLD = -3
READ_BUFFER_THRESHOLD = 512 * 1024


def keep_read_buffers_off_mmap():
    """Sets glibc's mmap threshold once, explicitly, for the process; True when it was set.

    asyncio receives every frame into a fresh 256 KiB buffer and shrinks it to what arrived. At glibc's
    initial 128 KiB threshold each such buffer is mmapped, shrunk with mremap and unmapped: three system
    calls and a TLB flush on every core per read. glibc raises its threshold on its own only after a large
    block happens to be freed, which depends on the process's history; a threshold set explicitly does not.
    """
    if platform.libc_ver()[0] != "glibc":
        return False
    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):
        return False
    mallopt.argtypes, mallopt.restype = (ctypes.c_int, ctypes.c_int), ctypes.c_int
    return mallopt(M_MMAP_THRESHOLD, READ_BUFFER_THRESHOLD) == 1


def serve(app, options, sockets):
    server = MasterServer(uvicorn.Config(app, **options))
    server.run(sockets=sockets)


def main(argv=None):
    args = parse_args(argv)
    try:
        sockets = bind(args.host, args.port)
    except OSError as e:
        sys.exit(f"Cannot listen on {args.host} port {args.port}: {e.strerror or e}")
    # Kernels inherit the master's environment: the token must reach the IDE only.
    os.environ.pop(TOKEN_VARIABLE, None)
    os.environ[HOST_VARIABLE] = connect_address(sockets)
    if "null" in args.allowed_origins:
        logger.warning("Origin null is allowed: every site's sandboxed frames and every local file "
                       "opened in a browser may drive the master")
    keep_read_buffers_off_mmap()
    relvane.set_port(args.port)
    relvane.initialize_ide_manager(args.port, args.watchdog_port, args.token, args.docs_port)
    app = HostGuard(ClientRefusalLog(create_app()), args.host, args.port, args.allowed_origins)
    for sock in sockets:
        host, port = sock.getsockname()[:2]
        logger.info("Listening on %s (Press CTRL+C to quit)", f"http://[{host}]:{port}" if ":" in host
                    else f"http://{host}:{port}")
    serve(app, uvicorn_options(args.host, args.port), sockets)


if __name__ == "__main__":
    main()
