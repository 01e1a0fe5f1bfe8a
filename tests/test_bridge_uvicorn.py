"""The bridge and the connection manager over real uvicorn sockets."""
import asyncio
import json

import pytest
import websockets

from servers import free_port, scaled, uvicorn_app


@pytest.fixture(scope="module")
def port():
    port = free_port()
    with uvicorn_app("apps.probe_app:app", port):
        yield port


async def test_native_endpoint_echoes_and_sees_disconnect(port):
    for _ in range(2):  # a second connection proves the first one ended cleanly
        async with websockets.connect(f"ws://127.0.0.1:{port}/echo/c1") as ws:
            assert json.loads(await ws.recv()) == {"type": "ping", "client_id": "c1"}
            for i in range(50):
                await ws.send(json.dumps({"n": i}))
                assert json.loads(await ws.recv()) == {"n": i}


async def test_manager_over_real_sockets(port):
    base = f"ws://127.0.0.1:{port}/ws/ide"
    async with websockets.connect(f"{base}/i1?name=First") as a, websockets.connect(f"{base}/i2") as b:
        await a.send(json.dumps({"type": "ask"}))
        question = json.loads(await a.recv())
        assert question["type"] == "question" and question["request_id"] == question["requestId"]
        await a.send(json.dumps({"type": "reply", "requestId": question["requestId"], "v": 1}))
        got = json.loads(await a.recv())
        assert got == {"type": "got", "answer": {"type": "reply", "requestId": question["requestId"], "v": 1}}

        await b.send(json.dumps({"type": "broadcast"}))
        expected = {"type": "all", "names": {"i1": "First"}}
        results = await asyncio.wait_for(asyncio.gather(a.recv(), b.recv()), scaled(5))
        assert [json.loads(r) for r in results] == [expected, expected]
