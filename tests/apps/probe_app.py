"""A small app for the bridge's test against the framework's own sockets."""
import asyncio
import os
import sys

from fastapi import FastAPI, WebSocket, WebSocketDisconnect

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import _bridge_probe as probe  # noqa: E402
import tavrino_master.business_layer.relvane as relvane  # noqa: E402

app = FastAPI()
app.add_api_websocket_route("/echo/{client_id}", probe.echo_endpoint)


@app.websocket("/ws/{client_type}/{client_id}")
async def manager_endpoint(websocket: WebSocket, client_type: str, client_id: str):
    await relvane.manager.connect(client_type, client_id, websocket, websocket.query_params.get("name"))

    async def ask():
        answer = await relvane.manager.send_and_wait_response(client_type, client_id, {"type": "question"}, 5.0)
        await relvane.manager.send_message(client_type, client_id, {"type": "got", "answer": answer})

    tasks = set()
    try:
        while True:
            message = await websocket.receive_json()
            if message.get("type") == "ask":
                tasks.add(asyncio.create_task(ask()))
            elif message.get("type") == "broadcast":
                await relvane.manager.broadcast(client_type, {"type": "all", "names": relvane.manager.client_names})
            else:
                relvane.manager.handle_response(message)
    except WebSocketDisconnect:
        relvane.manager.disconnect(client_type, client_id)
