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
"""
import argparse
import asyncio
import logging
import os
import secrets

import uvicorn
from fastapi import FastAPI
from uvicorn.protocols.websockets.websockets_impl import WebSocketProtocol

from tavrino_master.business_layer import relvane
from tavrino_master.host_guard import ALLOWED_ORIGINS_ENV, HostGuard, allowed_origins_from

WEBSOCKET_PATH = "/ws/{client_type}/{client_id}"
# The scope key under which a WebSocket connection offers the business layer a way to drop it at once: a
# client that stops reading must not hold its unsent data, and a close handshake would wait behind that data.
ABORT_KEY = "tavrino.abort_transport"
# How long a connection has at the master's stop to flush what it was sent before it is dropped.
SHUTDOWN_GRACE = 1.0


class AbortableWebSocketProtocol(WebSocketProtocol):
    """uvicorn's WebSocket protocol, whose scope also carries the connection's abort."""

    async def run_asgi(self):
        self.scope[ABORT_KEY] = self.transport.abort
        await super().run_asgi()

    def shutdown(self):
        # uvicorn's shutdown closes the transport, which waits until everything written has gone out: a
        # client that reads nothing would keep the master from stopping. Dropped after a short grace.
        transport = self.transport
        super().shutdown()
        asyncio.get_running_loop().call_later(SHUTDOWN_GRACE, transport.abort)


def create_app():
    """The application, with the business layer's own coroutines as its hooks and handlers."""
    app = FastAPI(title="Tavrino master", on_startup=[relvane.startup_event],
                  on_shutdown=[relvane.shutdown_event])
    app.add_api_websocket_route(WEBSOCKET_PATH, relvane.websocket_endpoint)
    app.add_api_route("/", relvane.root, methods=["GET"], response_model=None)
    app.add_api_route("/connections", relvane.get_connections, methods=["GET"], response_model=None)
    return app


def parse_args(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m tavrino_master", description="Run the Tavrino master.")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=8000, help="port to listen on (default 8000)")
    parser.add_argument("--watchdog-port", type=int, help="the IDE's watchdog port (default: port + 1)")
    parser.add_argument("--docs-port", type=int, help="the IDE's documentation port (default: port + 2)")
    parser.add_argument("--token", help="token handed to the IDE (default: $TAVRINO_AUTH_TOKEN, else a new one)")
    parser.add_argument("--allow-origin", action="append", default=[], metavar="ORIGIN",
                        help="also accept WebSocket connections from pages of this origin, e.g. "
                             f"https://addin.example.com (repeatable; also ${ALLOWED_ORIGINS_ENV}, comma-separated); "
                             "null only when named")
    args = parser.parse_args(argv)
    try:
        args.allowed_origins = allowed_origins_from(args.allow_origin, os.environ)
    except ValueError as e:
        parser.error(str(e))
    if args.watchdog_port is None:
        args.watchdog_port = args.port + 1
    if args.docs_port is None:
        args.docs_port = args.port + 2
    if not args.token:
        args.token = os.environ.get("TAVRINO_AUTH_TOKEN") or secrets.token_urlsafe(32)
    return args


def uvicorn_options(host, port):
    """How the master runs uvicorn."""
    # The master's logging set-up already serves uvicorn's loggers; its own would print every line twice.
    # Without a level uvicorn would wrap the app in its per-message trace logger, which costs on every
    # message even though nothing is printed: give its loggers the level the master's already have.
    return {"host": host, "port": port, "log_config": None, "log_level": logging.getLogger().getEffectiveLevel(),
            "ws": AbortableWebSocketProtocol}


def main(argv=None):
    args = parse_args(argv)
    relvane.set_port(args.port)
    relvane.initialize_ide_manager(args.port, args.watchdog_port, args.token, args.docs_port)
    app = HostGuard(create_app(), args.host, args.port, args.allowed_origins)
    uvicorn.run(app, **uvicorn_options(args.host, args.port))


if __name__ == "__main__":
    main()
