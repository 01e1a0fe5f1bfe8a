"""Fake WebSocket connections for driving the business layer in process."""
import asyncio

from starlette.websockets import WebSocketDisconnect


class Frames:
    """The framework's receive() for a fake that hands over text with receive_text() and
    leaves by raising the disconnect."""

    async def receive(self):
        try:
            text = await self.receive_text()
        except WebSocketDisconnect as e:
            return {"type": "websocket.disconnect", "code": e.code}
        return {"type": "websocket.receive", "text": text}


class Sock(Frames):
    """Records what is sent. `fail` makes every send raise like a dead connection, `fail_at`
    the send after that many went through; `accept_error` is raised by the handshake."""

    def __init__(self, fail=False, fail_at=None, accept_error=None):
        self.sent = []
        self.closed = None
        self.accepted = False
        self.fail = fail
        self.fail_at = fail_at
        self.accept_error = accept_error

    async def accept(self):
        if self.accept_error:
            raise self.accept_error
        self.accepted = True

    async def close(self, code=1000, reason=""):
        self.closed = (code, reason)

    async def send_json(self, message):
        if self.fail or len(self.sent) == self.fail_at:
            raise ConnectionResetError("gone")
        self.sent.append(message)


class Addin(Sock):
    """Answers the master's requests on a later loop turn: `replies` maps a request type to the
    answer's keys; a request whose type was held is answered only when its gate is opened."""

    def __init__(self, manager, replies=None):
        super().__init__()
        self.manager, self.replies, self.gates = manager, replies or {}, {}

    def hold(self, request_type):
        gate = asyncio.Event()
        self.gates.setdefault(request_type, []).append(gate)
        return gate

    async def send_json(self, message):
        self.sent.append(message)
        rid = message.get("requestId")
        if rid is None:
            return
        reply = {"request_id": rid, **self.replies.get(message["type"], {})}
        gates = self.gates.get(message["type"])
        if not gates:
            asyncio.get_running_loop().call_soon(self.manager.handle_response, reply)
            return
        gate = gates.pop(0)

        async def answer():
            await gate.wait()
            self.manager.handle_response(reply)

        asyncio.get_running_loop().create_task(answer())


async def connect_ides(manager, count=2):
    """Connects `count` IDEs as ide0, ide1, ...; returns their sockets."""
    socks = [Sock() for _ in range(count)]
    for n, s in enumerate(socks):
        await manager.connect("ide", f"ide{n}", s)
    return socks
