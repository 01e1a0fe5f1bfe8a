"""Worksheet-function round trip through the master against a bare relay.

Run from the repository root (after a build):

    /usr/bin/python3 bench/bench_roundtrip.py [--calls 500]

A scripted add-in sends "function_execution" to the master, which checks the
names, syncs the modules, records the call and forwards "custom_function_call"
to a scripted kernel; the kernel answers "execution_result", and the master
hands "function_execution_result" to the add-in through its result batcher.
The same four hops (add-in -> server -> kernel -> server -> add-in) are then
timed through a Starlette app under uvicorn that only forwards frames between
the add-in and the kernel of one workbook. Calls are made one after another
over loopback. The master's time includes the batcher's 5 ms coalescing
window (the timer adds its own overshoot), so the master is also timed on the
same four hops without the batcher: the add-in's "execution_request" relayed
to the kernel and the kernel's "sys_request" relayed back. Last, the master
runs with the real kernel program it starts, which runs a trivial function.
"""
import argparse
import asyncio
import json
import os
import statistics
import sys
import tempfile
import time

import websockets

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
from servers import free_port, running  # noqa: E402

WORKBOOK = "bench-wb"


# ---------------------------------------------------------------- bare relay

def relay_app():
    from starlette.applications import Starlette
    from starlette.routing import WebSocketRoute
    from starlette.websockets import WebSocketDisconnect

    peers = {}

    async def endpoint(websocket):
        client_type = websocket.path_params["client_type"]
        client_id = websocket.path_params["client_id"]
        await websocket.accept()
        peers[(client_type, client_id)] = websocket
        other = "kernel" if client_type == "addin" else "addin"
        try:
            while True:
                message = await websocket.receive_json()
                target = peers.get((other, client_id))
                if target is not None:
                    await target.send_json(message)
        except WebSocketDisconnect:
            peers.pop((client_type, client_id), None)

    return Starlette(routes=[WebSocketRoute("/ws/{client_type}/{client_id}", endpoint)])


def serve_relay(port):
    import uvicorn
    uvicorn.run(relay_app(), host="127.0.0.1", port=port, log_level="warning")


# ---------------------------------------------------------------- scripted clients

async def kernel_loop(ws):
    async for frame in ws:
        message = json.loads(frame)
        kind = message.get("type")
        if kind in ("custom_function_call", "function_execution"):
            await ws.send(json.dumps({"type": "execution_result", "request_id": message["request_id"],
                                      "result": {"type": "int", "value": 1}, "logs": ""}))
        elif kind == "execution_request":
            await ws.send(json.dumps({"type": "sys_request", "request_id": message["request_id"]}))


ANSWERS = {
    "get_modules_request": lambda: {"type": "get_modules_response", "modules": {"calc": "def f(x):\n    return x\n"}},
    "get_functions_request": lambda: {"type": "get_functions_response", "functions": []},
    "get_packages_request": lambda: {"type": "get_packages_response", "packages": [], "python_paths": []},
    "get_events_request": lambda: {"type": "get_events_response"},
}
RESULT_TYPES = ("function_execution_result", "execution_result", "sys_request")


async def addin_loop(ws, results, ready):
    async for frame in ws:
        message = json.loads(frame)
        kind = message.get("type")
        if kind in ANSWERS:
            answer = ANSWERS[kind]()
            answer["request_id"] = message["request_id"]
            await ws.send(json.dumps(answer))
        elif kind == "save_event_config_request":  # the last step of the kernel's connect work
            ready.set()
        elif kind in RESULT_TYPES:
            results.put_nowait(message)


def function_call(request_id, i):
    return {"type": "function_execution", "module_name": "calc", "function_name": "f",
            "args": [{"type": "int", "value": i}], "request_id": request_id}


def plain_relay(request_id, i):
    return {"type": "execution_request", "request_id": request_id, "code": i}


async def round_trips(addin, results, make, calls, warmup):
    times = []
    for i in range(warmup + calls):
        request_id = f"{make.__name__}-{i}"
        start = time.perf_counter()
        await addin.send(json.dumps(make(request_id, i)))
        while True:
            message = await asyncio.wait_for(results.get(), 10)
            if message.get("request_id") == request_id:
                break
        if i >= warmup:
            times.append(time.perf_counter() - start)
    return times


async def measure(port, calls, warmup, wait_for_connect_work, makes):
    base = f"ws://127.0.0.1:{port}/ws"
    addin = await websockets.connect(f"{base}/addin/{WORKBOOK}")
    results, ready = asyncio.Queue(), asyncio.Event()
    addin_task = asyncio.create_task(addin_loop(addin, results, ready))
    if wait_for_connect_work:
        await asyncio.sleep(1.5)  # the add-in's connect work: state pulled, kernel process started
    kernel = await websockets.connect(f"{base}/kernel/{WORKBOOK}")
    kernel_task = asyncio.create_task(kernel_loop(kernel))
    if wait_for_connect_work:
        await asyncio.wait_for(ready.wait(), 15)
    else:
        await asyncio.sleep(0.2)

    timings = [await round_trips(addin, results, make, calls, warmup) for make in makes]

    await kernel.close()
    await addin.close()
    for task in (addin_task, kernel_task):
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)
    return timings


def run(argv, port, calls, warmup, connect_work, makes, env=None):
    with running(argv, port, env=env):
        return asyncio.run(measure(port, calls, warmup, connect_work, makes))


# ---------------------------------------------------------------- real kernel program

def kernel_program_call(request_id, i):
    return dict(function_call(request_id, i), args=[{"type": "Int", "value": i, "isSpec": False}])


async def measure_kernel_program(port, calls, warmup):
    """Only the add-in is scripted: the kernel program that the master starts answers."""
    addin = await websockets.connect(f"ws://127.0.0.1:{port}/ws/addin/{WORKBOOK}")
    results, ready = asyncio.Queue(), asyncio.Event()
    task = asyncio.create_task(addin_loop(addin, results, ready))
    await asyncio.wait_for(ready.wait(), 60)
    times = await round_trips(addin, results, kernel_program_call, calls, warmup)
    await addin.close()
    task.cancel()
    await asyncio.gather(task, return_exceptions=True)
    return times


def kernel_program_round_trips(calls, warmup):
    """Round trips add-in -> master -> real kernel program running a trivial function -> master -> add-in."""
    with tempfile.TemporaryDirectory() as home:
        port = free_port()
        argv = [sys.executable, "-m", "tavrino_master", "--host", "127.0.0.1", "--port", str(port)]
        env = {"HOME": home, "TAVRINO_LOG_LEVEL": "WARNING", "TAVRINO_KERNEL_STANDBY": "0"}
        with running(argv, port, env=env):
            return asyncio.run(measure_kernel_program(port, calls, warmup))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=500)
    parser.add_argument("--warmup", type=int, default=50)
    parser.add_argument("--relay", type=int, help=argparse.SUPPRESS)  # serve the bare relay on this port
    args = parser.parse_args()
    if args.relay:
        serve_relay(args.relay)
        return

    with tempfile.TemporaryDirectory() as home:
        port = free_port()
        master, master_relay = run(
            [sys.executable, "-m", "tavrino_master", "--host", "127.0.0.1", "--port", str(port)], port, args.calls,
            args.warmup, True, [function_call, plain_relay],
            env={"HOME": home, "TAVRINO_LOG_LEVEL": "WARNING", "TAVRINO_KERNEL_STANDBY": "1"})
    kernel_program = kernel_program_round_trips(args.calls, args.warmup)
    port = free_port()
    (relay,) = run([sys.executable, os.path.abspath(__file__), "--relay", str(port)], port, args.calls, args.warmup,
                   False, [function_call])

    def line(name, times):
        print(f"{name:<24} median {statistics.median(times) * 1e6:9.1f} us   "
              f"mean {statistics.mean(times) * 1e6:9.1f} us   p95 {sorted(times)[int(len(times) * 0.95)] * 1e6:9.1f} us")

    print(f"round trips: {args.calls} sequential calls each (after {args.warmup} warm-up calls), loopback")
    line("master, function call", master)
    line("master, plain relay", master_relay)
    line("bare Starlette relay", relay)
    line("master, kernel program", kernel_program)
    r = statistics.median(relay)
    print(f"ratio master function call / bare relay (median): {statistics.median(master) / r:.2f}")
    print(f"ratio master plain relay / bare relay (median):   {statistics.median(master_relay) / r:.2f}")
    print(f"ratio master kernel program / bare relay (median): {statistics.median(kernel_program) / r:.2f}")


if __name__ == "__main__":
    main()
