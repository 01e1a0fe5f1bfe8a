"""Numbers JavaScript's JSON.parse cannot read (NaN, Infinity) never leave the
master: what a client sends is mapped as the kernel program's encoder maps it."""
import asyncio
import json

import pytest

import tavrino_master.business_layer.relvane as relvane
from fakes import Sock
from servers import scaled
from tavrino_master.python_server import wire_json

NAN, INF = float("nan"), float("inf")


def wire(tag, value, spec=False):
    return {"type": tag, "value": value, "isSpec": spec}


async def reassembled(manager, text, size=7):
    """The message a client's "chunk" pieces of `text` come to."""
    pieces = [text[i:i + size] for i in range(0, len(text), size)]
    whole = None
    for i, piece in enumerate(pieces):
        whole = await manager._handle_chunk_message("kernel", "wb", {
            "type": "chunk", "chunk_id": "c1", "chunk_index": i, "total_chunks": len(pieces), "data": piece})
    return whole


# Messages as a kernel writes them with Python's json: each must come out as the
# kernel program's own encoder (wire_json) would have sent it.
MESSAGES = [
    {"type": "execution_result", "request_id": "r", "result": wire("Float", NAN), "logs": ""},
    {"type": "execution_result", "request_id": "r", "result": wire("Float", INF, True), "logs": ""},
    {"type": "execution_result", "request_id": "r", "result": wire("Float", -INF), "logs": ""},
    {"type": "execution_result", "request_id": "r", "logs": "nan",
     "result": wire("Array", [wire("Array", [wire("Float", NAN), wire("Float", 2.5)]),
                              wire("Dict", {"k": wire("Float", -INF), "NaN": wire("String", "Infinity")})])},
    {"type": "execution_error", "request_id": "r", "error": {"message": "NaN", "args": [NAN, [INF, [-INF]]],
                                                              "bound": {"hi": INF, "lo": -INF}}},
    {"type": "batch", "messages": [{"type": "stdout", "content": "x", "v": NAN},
                                   {"type": "execution_result", "request_id": "r", "result": wire("Float", INF)}]},
    {"type": "stdout", "content": 'quoted "NaN", Infinity and -Infinity \\\\ stay text', "n": [1.5, -0.0, 1e308]},
]


@pytest.mark.parametrize("message", MESSAGES, ids=range(len(MESSAGES)))
async def test_reassembled_messages_map_like_the_kernel_programs_encoder(manager, message):
    got = await reassembled(manager, json.dumps(message))
    assert got == json.loads(wire_json.dumps(message))
    json.dumps(got, allow_nan=False)  # nothing non-finite is left to send on


@pytest.mark.parametrize("text, expected", [
    # A wire value is known by its keys, whatever their order or spacing.
    ('{"value" : NaN, "isSpec": false, "type": "Float"}', {"value": None, "isSpec": False, "type": "Null"}),
    ('{"value":-Infinity,"type":"Float"}', {"value": "-Infinity", "type": "String"}),
    # Literals beyond the double range read as infinities.
    ('{"type":"Float","value":1e999,"isSpec":false}', wire("String", "Infinity")),
    ('{"a":[-1e400,1.5e3,2E-400]}', {"a": ["-Infinity", 1500.0, 0.0]}),
    ('{"type":"Float","value":[NaN]}', {"type": "Float", "value": [None]}),
    ('{"type":"Int","value":NaN}', {"type": "Int", "value": None}),
    ('{"n": 123456789012345678901234567890}', {"n": 123456789012345678901234567890}),
])
async def test_mapping_needs_no_particular_writing(manager, text, expected):
    assert await reassembled(manager, text) == expected


@pytest.mark.parametrize("text", ['{"a": NaN', '{"a": nan}', '{"a": Infinityx}', '[1] x'])
async def test_broken_text_is_still_refused(manager, caplog, text):
    assert await reassembled(manager, text) is None
    assert any(r.getMessage().startswith("Failed to parse reassembled message: ") for r in caplog.records)


class Feed(Sock):
    """A client's socket for the endpoint: hands over `frames`, then leaves once
    `until()` holds."""

    query_params = {}

    def __init__(self, frames, until):
        super().__init__()
        self.frames = list(frames)
        self.until = until

    async def receive_text(self):
        if self.frames:
            return self.frames.pop(0)
        loop = asyncio.get_running_loop()
        deadline = loop.time() + scaled(5)
        while not self.until() and loop.time() < deadline:
            await asyncio.sleep(0.01)
        raise relvane.WebSocketDisconnect(1000)


async def test_frames_read_by_the_endpoint_are_mapped_before_anything_is_relayed(manager):
    addin, ide = Sock(), Sock()
    await manager.connect("addin", "wb", addin)
    await manager.connect("ide", "ide-1", ide)
    frames = ['{"type": "stdout", "content": "NaN", "v": [NaN, Infinity, -Infinity, 1e999, 0.5]}',
              '{"type": "batch", "messages": [{"type": "show_message_box", "value": {"type": "Float", "value": NaN}}]}']
    kernel = Feed(frames, lambda: len(addin.sent) >= 2 and ide.sent)
    await relvane.websocket_endpoint(kernel, "kernel", "wb")
    relayed = [m for m in addin.sent if m["type"] != "kernel_disconnected"]
    assert sorted(relayed, key=lambda m: m["type"]) == [
        {"type": "show_message_box", "value": {"type": "Null", "value": None}},
        {"type": "stdout", "content": "NaN", "v": [None, "Infinity", "-Infinity", "Infinity", 0.5]}]
    assert ide.sent == [{"type": "stdout", "content": "NaN", "v": [None, "Infinity", "-Infinity", "Infinity", 0.5]}]
