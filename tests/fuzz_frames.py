"""Seeded hostile traffic for the real host: frames of every client type, with
wrong types, deep nesting, broken text, made-up ids and hostile chunks.

Used by the bounded fuzz test and by the long run (scripts/fuzz-host.py)."""
import asyncio
import json
import random
import urllib.request

import websockets

import tavrino_master.business_layer.relvane as relvane
from servers import scaled

# Each client type has ids of its own, none of them a real workbook's: an
# add-in id makes the host start a kernel program of that id.
ID_POOLS = {"addin": ["fz-a0", "fz-a1"], "ide": ["fz-i0", "fz-i1"], "kernel": ["fz-k0", "fz-k1", "fz-k2"],
            "inspector": ["fz-n0"]}
WORKBOOK_IDS = ["fz-a0", "fz-a1", "fz-k0", "fz-k1", "fz-k2", "fz-w"]
# Types that reach the network or the installer, or start processes.
EXCLUDED = {"install_workbook_packages", "package_install_request", "get_package_versions_request",
            "get_package_info_request", "get_package_extras_request", "spawn_kernel", "restore_workbook_packages",
            "add_workbook_package", "update_workbook_package", "remove_workbook_package", "reorder_workbook_packages",
            "update_package_status", "client_sync_packages", "restart_addin", "show_ide", "kill_ide"}
FIELDS = ["workbook_id", "module_name", "code", "function_name", "args", "kwargs", "request_id", "requestId",
          "result", "error", "modules", "functions", "packages", "name", "value", "results", "messages", "mode",
          "status", "data", "message", "events", "python_paths", "success", "logs", "line", "column", "path",
          "client_id", "ok", "kind", "caller", "stream_id", "event_name", "object_id", "new_name", "old_name"]


def message_types(client_type):
    known = sorted(t for t in relvane.MESSAGE_HANDLERS.get(client_type, {}) if t not in EXCLUDED)
    return known + ["chunk", "no_such_type"]


class Frames:
    """A reproducible stream of (client_type, client_id, frame) with frame text or bytes."""

    def __init__(self, seed):
        self.rng = random.Random(seed)

    def value(self, depth=0):
        r = self.rng
        pick = r.randrange(18)
        if pick == 0:
            return None
        if pick == 1:
            return r.choice([True, False])
        if pick == 2:
            return r.choice([0, -1, 1, 2**31, -2**63, 2**70, 10**30])
        if pick == 3:
            return r.choice([0.5, -1e308, 1e308, 1.0])
        if pick == 4:
            return r.choice(["", " ", "x", "a.b", "1bad", "class", "..", "os.path", "__init__"])
        if pick == 5:
            return r.choice(WORKBOOK_IDS)
        if pick == 6:
            return "\ud800" + "lone surrogate" + "\udfff"
        if pick == 7:
            return "é中\U0001f600" * r.randrange(1, 50)
        if pick == 8:
            return "x" * r.choice([300, 5000, 70000])
        if pick == 9:
            return self.nested(r.randrange(10, 400))
        if pick in (10, 11) and depth < 3:
            return [self.value(depth + 1) for _ in range(r.randrange(0, 5))]
        if pick in (12, 13) and depth < 3:
            return {r.choice(FIELDS + ["type", "id", "isSpec"]): self.value(depth + 1) for _ in range(r.randrange(0, 5))}
        if pick == 14:
            return {"type": r.choice(["Int", "Dict", "Array", "Date", "Bytes", "Python_Function"]),
                    "value": self.value(depth + 1), "isSpec": r.choice([True, False, None])}
        return r.choice(["fz", "m", "f", "ok", "compact", "full"])

    def nested(self, depth):
        inner = {"type": "ping"}
        for _ in range(depth):
            inner = [inner] if self.rng.random() < 0.5 else {"k": inner}
        return inner

    def message(self, client_type):
        r = self.rng
        msg = {"type": r.choice(message_types(client_type))}
        if r.random() < 0.1:
            msg["type"] = self.value()
        for _ in range(r.randrange(0, 7)):
            msg[r.choice(FIELDS)] = self.value()
        if r.random() < 0.5:
            msg["workbook_id"] = r.choice(WORKBOOK_IDS)
        if msg.get("type") == "chunk" or r.random() < 0.05:
            msg.update(self.chunk_fields())
        return msg

    def chunk_fields(self):
        r = self.rng
        total = r.choice([1, 2, 3, 0, -1, 10**12, 4096, 4097, True, 1.0, "2", None])
        return {"type": "chunk", "chunk_id": r.choice(["c0", "c1", 7, None, [1], 1.5]),
                "chunk_index": r.choice([0, 1, 2, -1, 10**20, False, "0", None]), "total_chunks": total,
                "data": r.choice(['{"type": "ping"', "}", "", None, 5, ["x"], '{"type": "chunk"}', "x" * 8000])}

    def chunked(self, client_type):
        """A whole message cut into pieces, sometimes out of order, repeated or cut short."""
        r = self.rng
        inner = self.message(client_type)
        if r.random() < 0.2:
            inner = {"type": "chunk", "chunk_id": "nested", "chunk_index": 0, "total_chunks": 1, "data": "{}"}
        text = json.dumps(inner)
        total = r.randrange(1, 5)
        size = -(-len(text) // total)
        chunk_id = f"cz-{r.randrange(1000)}"
        pieces = [{"type": "chunk", "chunk_id": chunk_id, "chunk_index": i, "total_chunks": total,
                   "data": text[i * size:(i + 1) * size]} for i in range(total)]
        if r.random() < 0.3:
            r.shuffle(pieces)
        if r.random() < 0.2:
            pieces = pieces[:-1]
        if r.random() < 0.2 and pieces:
            pieces.append(pieces[0])
        return [json.dumps(p) for p in pieces]

    def frames(self, count):
        r = self.rng
        sent = 0
        while sent < count:
            client_type = r.choices(list(ID_POOLS), weights=[2, 3, 3, 1])[0]
            client_id = r.choice(ID_POOLS[client_type])
            roll = r.random()
            if roll < 0.1:
                texts = self.chunked(client_type)
            elif roll < 0.13 and client_type != "addin":
                # ends the connection's reading: not JSON, not text, not UTF-8, or nested past any parser
                texts = [r.choice(["{", "not json", '{"type": }', b"\xff\xfe\x00binary", "[" * 100000,
                                   json.dumps([1, 2]), "null", '"text"', "1e999"])]
            else:
                texts = [json.dumps(self.message(client_type))]
            for text in texts:
                yield client_type, client_id, text
                sent += 1


class Traffic:
    """Keeps one open connection per (type, id), reopened when the host ends it."""

    def __init__(self, port):
        self.port = port
        self.open = {}
        self.readers = set()
        self.reopened = 0

    async def _drain(self, ws):
        try:
            async for _ in ws:
                pass
        except websockets.ConnectionClosed:
            pass

    async def socket(self, client_type, client_id):
        ws = self.open.get((client_type, client_id))
        if ws is None or ws.closed:
            if ws is not None:
                self.reopened += 1
            url = f"ws://127.0.0.1:{self.port}/ws/{client_type}/{client_id}"
            ws = await asyncio.wait_for(websockets.connect(url, max_size=None, close_timeout=scaled(10)), scaled(10))
            self.open[(client_type, client_id)] = ws
            reader = asyncio.ensure_future(self._drain(ws))
            self.readers.add(reader)
            reader.add_done_callback(self.readers.discard)
        return ws

    async def send(self, client_type, client_id, text):
        ws = await self.socket(client_type, client_id)
        try:
            await asyncio.wait_for(ws.send(text), scaled(10))
        except websockets.ConnectionClosed:
            pass

    async def run(self, seed, count, pause_every=20):
        for n, (client_type, client_id, text) in enumerate(Frames(seed).frames(count)):
            await self.send(client_type, client_id, text)
            if n % pause_every == 0:
                await asyncio.sleep(0.001)

    async def close(self):
        for ws in self.open.values():
            await asyncio.wait_for(ws.close(), scaled(20))
        for reader in list(self.readers):
            await asyncio.wait_for(reader, scaled(10))


def rss_mib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("no VmRSS")


def status(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/", timeout=scaled(10)) as resp:
        return resp.status, json.load(resp)
