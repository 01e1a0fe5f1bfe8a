"""Fake WebSocket connections for driving the business layer in process."""


class Sock:
    """Records what is sent; `fail` makes every send raise like a dead connection."""

    def __init__(self, fail=False):
        self.sent = []
        self.closed = None
        self.fail = fail

    async def accept(self):
        pass

    async def close(self, code=1000, reason=""):
        self.closed = (code, reason)

    async def send_json(self, message):
        if self.fail:
            raise ConnectionResetError("gone")
        self.sent.append(message)
