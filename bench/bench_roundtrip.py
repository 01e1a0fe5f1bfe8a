"""Worksheet-function round trips through the master against relays, over loopback.

Run from the repository root (after a build):

    /usr/bin/python3 bench/bench_roundtrip.py [--calls 3000] [--rounds 5] [--workbooks 1 10 50]

Scripted add-ins send "function_execution" with 100 calls outstanding in all,
spread over 1, 10 or 50 workbooks; scripted kernels answer every call at once.
Each call makes the same four hops (add-in -> server -> kernel -> server ->
add-in) through each server:

- master: the host program (`python3 -m tavrino_master`), which checks the
  names, syncs the modules, records the call, forwards "custom_function_call"
  and coalesces the kernel's results within its 5 ms window;
- fair relay: a Starlette endpoint under the host's own uvicorn options that
  does what any implementation has to: one task per received message, the
  kernel's results to an add-in coalesced within the same 5 ms window;
- bare relay: the same endpoint forwarding each message as it arrives;
- master, kernel program (1 and 10 workbooks): the master with the real kernel
  programs it starts, which run the trivial function (CPU figure: the master's
  alone); its ratios against the master with scripted kernels are printed too.

The servers stay up for the whole run and take turns round by round, so that
load from elsewhere on the machine falls on all of them alike. Per round and
server: latency p50 and p99, throughput, and the server's CPU time per call
(from /proc). The scripted kernels and add-ins run in processes of their own.
The ratios are printed as min/median/max over the rounds.

Another road (a server, how its clients connect) is one more `Road` in `ROADS`.
"""
import argparse
import asyncio
import contextlib
import json
import os
import statistics
import sys
import tempfile
import time

import websockets

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
sys.path.insert(0, os.path.join(ROOT, "tests"))
from servers import free_port, running  # noqa: E402

OUTSTANDING = 100
COALESCE_DELAY = 0.005
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


# ---------------------------------------------------------------- relays

def relay_app(coalesce):
    """Forwards between the add-in and the kernel of a workbook; with `coalesce`, the fair comparison."""
    from starlette.applications import Starlette
    from starlette.routing import WebSocketRoute
    from starlette.websockets import WebSocketDisconnect

    peers = {}
    pending = {}  # workbook -> results waiting for the window to close
    background = set()

    def start(coro):
        task = asyncio.create_task(coro)
        background.add(task)
        task.add_done_callback(background.discard)

    async def flush_after_delay(workbook):
        await asyncio.sleep(COALESCE_DELAY)
        results = pending.pop(workbook)
        target = peers.get(("addin", workbook))
        if target is not None:
            await target.send_json(results[0] if len(results) == 1 else {"type": "batch_results", "results": results})

    async def forward(client_type, workbook, message):
        if coalesce and client_type == "kernel":
            if workbook not in pending:
                pending[workbook] = []
                start(flush_after_delay(workbook))
            pending[workbook].append(message)
            return
        target = peers.get(("kernel" if client_type == "addin" else "addin", workbook))
        if target is not None:
            await target.send_json(message)

    async def endpoint(websocket):
        client_type = websocket.path_params["client_type"]
        workbook = websocket.path_params["client_id"]
        await websocket.accept()
        peers[(client_type, workbook)] = websocket
        try:
            while True:
                message = await websocket.receive_json()
                if coalesce:
                    start(forward(client_type, workbook, message))
                else:
                    await forward(client_type, workbook, message)
        except WebSocketDisconnect:
            peers.pop((client_type, workbook), None)

    return Starlette(routes=[WebSocketRoute("/ws/{client_type}/{client_id}", endpoint)])


def serve_relay(kind, port):
    import uvicorn

    from tavrino_master.__main__ import keep_read_buffers_off_mmap, uvicorn_options
    from tavrino_master.logging_config import get_logger

    get_logger("bench.relay")  # the master's logging set-up, so uvicorn_options sees the same levels
    keep_read_buffers_off_mmap()  # and its allocator set-up
    uvicorn.run(relay_app(kind == "fair"), **uvicorn_options("127.0.0.1", port))


# ---------------------------------------------------------------- scripted clients

async def kernel_loop(ws):
    async for frame in ws:
        message = json.loads(frame)
        if message.get("type") in ("custom_function_call", "function_execution"):
            await ws.send(json.dumps({"type": "execution_result", "request_id": message["request_id"],
                                      "result": {"type": "int", "value": 1}, "logs": ""}))


ANSWERS = {
    "get_modules_request": lambda: {"type": "get_modules_response", "modules": {"calc": "def f(x):\n    return x\n"}},
    "get_functions_request": lambda: {"type": "get_functions_response", "functions": []},
    "get_packages_request": lambda: {"type": "get_packages_response", "packages": [], "python_paths": []},
    # The answer's type is the add-in's to choose; one the master's table lists
    # keeps a warning per workbook out of the benchmark's output.
    "get_events_request": lambda: {"type": "get_event_config_response"},
}
RESULT_TYPES = ("function_execution_result", "execution_result")


class AddIn:
    """One workbook's add-in: answers the master's requests and keeps its share of calls outstanding."""

    def __init__(self, ws, name, ready_on):
        self.ws, self.name, self.ready_on = ws, name, ready_on
        self.ready = asyncio.Event()
        self.started = {}
        self.latencies = []
        self.to_send = 0
        self.to_finish = 0
        self.done = asyncio.Event()
        self.serial = 0

    async def send_call(self):
        self.serial += 1
        request_id = f"{self.name}-{self.serial}"
        self.started[request_id] = time.perf_counter()
        await self.ws.send(json.dumps({"type": "function_execution", "module_name": "calc", "function_name": "f",
                                       "args": [{"type": "Int", "value": self.serial, "isSpec": False}],
                                       "request_id": request_id}))

    async def finished(self, message):
        start = self.started.pop(message.get("request_id"), None)
        if start is None:
            return
        self.latencies.append(time.perf_counter() - start)
        self.to_finish -= 1
        if self.to_finish == 0:
            self.done.set()
        elif self.to_send > 0:
            self.to_send -= 1
            await self.send_call()

    async def loop(self):
        async for frame in self.ws:
            message = json.loads(frame)
            kind = message.get("type")
            if kind in ANSWERS:
                answer = ANSWERS[kind]()
                answer["request_id"] = message["request_id"]
                await self.ws.send(json.dumps(answer))
            if kind == self.ready_on:
                self.ready.set()
            if kind == "batch_results":
                for result in message["results"]:
                    await self.finished(result)
            elif kind in RESULT_TYPES:
                await self.finished(message)

    async def run(self, calls, outstanding):
        first = min(outstanding, calls)
        self.latencies, self.to_send, self.to_finish, self.done = [], calls - first, calls, asyncio.Event()
        for _ in range(first):
            await self.send_call()
        await asyncio.wait_for(self.done.wait(), 120)
        return self.latencies


class Road:
    """A server under test and how its clients get connected.

    `ready_on`: the message after which an add-in may start calling (None: at once); `kernel_side`: what
    runs in the kernel processes (by default the scripted kernels); `env`: added to the server's
    environment; `max_workbooks`: the road is left out of larger runs.
    """

    def __init__(self, name, argv, ready_on=None, kernel_side=None, env=None, max_workbooks=None):
        self.name, self.argv, self.ready_on = name, argv, ready_on
        self.kernel_side, self.env, self.max_workbooks = kernel_side, env or {}, max_workbooks


def master_argv(port):
    return [sys.executable, "-m", "tavrino_master", "--host", "127.0.0.1", "--port", str(port)]


async def no_kernels(conn, port, names):
    """The master starts the real kernel program itself: nothing to connect here."""
    conn.send("ready")
    await asyncio.get_running_loop().run_in_executor(None, conn.recv)
    conn.send("closed")


KERNEL_PROGRAM = "master, kernel program"
ROADS = [
    # scripted kernels connect first; an add-in may call once the master has pulled its state
    Road("master", master_argv, ready_on="get_events_request", env={"TAVRINO_KERNEL_STANDBY": "1"}),
    Road("fair relay", lambda port: [sys.executable, os.path.abspath(__file__), "--serve", "fair", str(port)]),
    Road("bare relay", lambda port: [sys.executable, os.path.abspath(__file__), "--serve", "bare", str(port)]),
    # the real kernel program that the master starts runs the trivial function; its connect work ends with
    # the add-in's event configuration
    Road(KERNEL_PROGRAM, master_argv, ready_on="save_event_config_request", kernel_side=no_kernels,
         env={"TAVRINO_KERNEL_STANDBY": "0"}, max_workbooks=10),
]


# ---------------------------------------------------------------- client processes
# The scripted clients run in processes of their own (kernels apart from add-ins),
# so that the servers, not the clients, set the pace.

KERNEL_PROCESSES = 2
ADDIN_PROCESSES = 3


async def kernel_side(conn, port, names):
    base = f"ws://127.0.0.1:{port}/ws"
    sockets = [await websockets.connect(f"{base}/kernel/{name}", max_queue=None) for name in names]
    tasks = [asyncio.create_task(kernel_loop(ws)) for ws in sockets]
    conn.send("ready")
    await asyncio.get_running_loop().run_in_executor(None, conn.recv)  # the end
    for ws in sockets:
        await ws.close()
    for task in tasks:
        task.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)
    conn.send("closed")


async def addin_side(conn, port, names, ready_on):
    base = f"ws://127.0.0.1:{port}/ws"
    addins, tasks = [], []
    for name in names:
        addin = AddIn(await websockets.connect(f"{base}/addin/{name}", max_queue=None), name, ready_on)
        tasks.append(asyncio.create_task(addin.loop()))
        addins.append(addin)
    if ready_on:
        await asyncio.wait_for(asyncio.gather(*(a.ready.wait() for a in addins)), 60)
    conn.send("ready")
    loop = asyncio.get_running_loop()
    while (order := await loop.run_in_executor(None, conn.recv)) is not None:
        calls, outstanding = order
        latencies = await asyncio.gather(*(a.run(calls, outstanding) for a in addins))
        conn.send([t for ts in latencies for t in ts])
    for addin in addins:
        await addin.ws.close()
    for task in tasks:
        task.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)
    conn.send("closed")


def client_process(side, conn, *args):
    asyncio.run(side(conn, *args))


def split(names, parts):
    return [names[i::parts] for i in range(min(parts, len(names)))]


class Clients:
    """The kernels and add-ins of `workbooks` workbooks connected to one server."""

    def __init__(self, road, port, workbooks):
        import multiprocessing

        context = multiprocessing.get_context("fork")
        names = [f"bench-wb-{i}" for i in range(workbooks)]
        self.workbooks, self.kernels, self.addins, self.procs = workbooks, [], [], []

        def start(side, *args):
            ours, theirs = context.Pipe()
            proc = context.Process(target=client_process, args=(side, theirs, *args), daemon=True)
            proc.start()
            self.procs.append(proc)
            return ours

        # kernels first, so that the master starts no kernel process of its own
        side = road.kernel_side or kernel_side
        self.kernels = [start(side, port, g) for g in split(names, KERNEL_PROCESSES)]
        self.expect(self.kernels, "ready", 30)
        self.addins = [start(addin_side, port, g, road.ready_on) for g in split(names, ADDIN_PROCESSES)]
        self.expect(self.addins, "ready", 90)
        self.groups = split(names, ADDIN_PROCESSES)

    @staticmethod
    def expect(conns, what, timeout):
        for conn in conns:
            if not conn.poll(timeout) or conn.recv() != what:
                raise RuntimeError(f"a client process did not report {what!r}")

    def round(self, calls):
        """All add-ins at once, `calls` in all; the latencies of every call."""
        per_workbook = max(1, calls // self.workbooks)
        outstanding = max(1, OUTSTANDING // self.workbooks)
        for conn in self.addins:
            conn.send((per_workbook, outstanding))
        times = []
        for conn in self.addins:
            if not conn.poll(300):
                raise RuntimeError("a round did not end")
            times += conn.recv()
        return times

    def close(self):
        # add-ins first: a kernel leaving while its add-in is still registered is reported to it
        for conns in (self.addins, self.kernels):
            for conn in conns:
                conn.send(None)
            self.expect(conns, "closed", 30)
        for proc in self.procs:
            proc.join(10)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS  # utime, stime


def one_round(clients, pid, calls):
    cpu, start = cpu_seconds(pid), time.perf_counter()
    times = clients.round(calls)
    elapsed, cpu = time.perf_counter() - start, cpu_seconds(pid) - cpu
    times.sort()
    n = len(times)
    return {"p50": times[n // 2], "p99": times[min(n - 1, int(n * 0.99))], "throughput": n / elapsed,
            "cpu": cpu / n}


def measure(servers, workbooks, calls, rounds):
    """{road name: [round figures]}, the roads taking turns within each round."""
    clients = {road: Clients(road, port, workbooks) for road, (port, _) in servers.items()}
    try:
        for road, group in clients.items():  # warm-up
            one_round(group, servers[road][1].pid, max(workbooks, calls // 5))
        figures = {road.name: [] for road in servers}
        for _ in range(rounds):
            for road, group in clients.items():
                figures[road.name].append(one_round(group, servers[road][1].pid, calls))
    finally:
        for group in clients.values():
            group.close()
    return figures


def spread(values, digits=2):
    return "{:.{d}f} / {:.{d}f} / {:.{d}f}".format(min(values), statistics.median(values), max(values), d=digits)


def report(workbooks, figures):
    print(f"\n{workbooks} workbook(s), {OUTSTANDING} calls outstanding; median over rounds")
    print(f"  {'server':<24} {'p50 us':>9} {'p99 us':>9} {'calls/s':>9} {'CPU us/call':>12}")
    for name, rows in figures.items():
        med = {k: statistics.median(r[k] for r in rows) for k in rows[0]}
        print(f"  {name:<24} {med['p50'] * 1e6:9.0f} {med['p99'] * 1e6:9.0f} {med['throughput']:9.0f} "
              f"{med['cpu'] * 1e6:12.1f}")
    master = figures["master"]
    for base in ("fair relay", "bare relay"):
        rows = figures[base]
        print(f"  master / {base} (min / median / max over rounds):")
        for key, label, goal in (("throughput", "throughput", ">= 0.95"), ("cpu", "CPU per call", "<= 1.15"),
                                 ("p50", "latency p50", ""), ("p99", "latency p99", "")):
            ratios = [m[key] / r[key] for m, r in zip(master, rows)]
            note = f"   (goal {goal})" if goal and base == "fair relay" else ""
            print(f"    {label:<13} {spread(ratios)}{note}")
    programs = figures.get(KERNEL_PROGRAM)
    if programs:
        print(f"  {KERNEL_PROGRAM} / master (scripted kernels) (min / median / max over rounds):")
        for key, label, goal in (("throughput", "throughput", ">= 0.8"), ("p50", "latency p50", "<= 1.5"),
                                 ("p99", "latency p99", "")):
            ratios = [k[key] / m[key] for k, m in zip(programs, master)]
            print(f"    {label:<13} {spread(ratios)}" + (f"   (goal {goal})" if goal else ""))


def callgrind_total(path):
    with open(path) as f:
        for line in f:
            if line.startswith(("totals:", "summary:")):
                return int(line.split()[1])
    raise RuntimeError(f"no totals in {path}")


def count_instructions(calls, workbooks_list):
    """Instructions per call of the master and of the fair relay, each server under callgrind.

    Counts, unlike seconds, do not move with the machine's load: they tell where a difference in the
    timed rounds comes from. The counters are zeroed after a warm-up round and dumped after a round of
    `calls`; the server's idle loop between messages is counted too, alike for both.
    """
    import shutil
    import subprocess

    if not shutil.which("callgrind_control"):
        sys.exit("--instructions needs valgrind (Debian package valgrind)")
    os.environ.setdefault("TAVRINO_TEST_TIMEOUT_SCALE", "20")  # servers start slowly under valgrind
    print(f"instructions per call under callgrind, {calls} calls per count")
    for workbooks in workbooks_list:
        counts = {}
        for road in ROADS[:2]:  # the master and the fair relay
            with tempfile.TemporaryDirectory() as home:
                port, out = free_port(), os.path.join(home, "callgrind.out")
                argv = ["valgrind", "--tool=callgrind", "--quiet", f"--callgrind-out-file={out}", *road.argv(port)]
                env = {"HOME": home, "TAVRINO_LOG_LEVEL": "WARNING", **road.env}
                with running(argv, port, env=env) as proc:
                    clients = Clients(road, port, workbooks)
                    try:
                        clients.round(max(workbooks, calls // 5))
                        subprocess.run(["callgrind_control", "-z", str(proc.pid)], check=True,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
                        done = len(clients.round(calls))
                        subprocess.run(["callgrind_control", "-d", str(proc.pid)], check=True,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
                    finally:
                        clients.close()
                    dumps = sorted(f for f in os.listdir(home) if f.startswith("callgrind.out."))
                    counts[road.name] = callgrind_total(os.path.join(home, dumps[0])) / done
        print(f"  {workbooks:3d} workbook(s): master {counts['master']:,.0f}, fair relay {counts['fair relay']:,.0f}, "
              f"ratio {counts['master'] / counts['fair relay']:.2f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=3000, help="calls per round and server")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--workbooks", type=int, nargs="+", default=[1, 10, 50])
    parser.add_argument("--instructions", action="store_true",
                        help="count instructions per call under callgrind instead of timing rounds")
    parser.add_argument("--serve", nargs=2, metavar=("KIND", "PORT"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve_relay(args.serve[0], int(args.serve[1]))
        return
    if args.instructions:
        count_instructions(args.calls, args.workbooks)
        return

    print(f"round trips over loopback: {args.calls} calls per round and server, {args.rounds} interleaved rounds")
    for workbooks in args.workbooks:
        with contextlib.ExitStack() as stack:
            servers = {}
            for road in ROADS:
                if road.max_workbooks is not None and workbooks > road.max_workbooks:
                    continue
                port = free_port()
                home = stack.enter_context(tempfile.TemporaryDirectory())
                env = {"HOME": home, "TAVRINO_LOG_LEVEL": "WARNING", **road.env}
                servers[road] = (port, stack.enter_context(running(road.argv(port), port, env=env)))
            figures = measure(servers, workbooks, args.calls, args.rounds)
        report(workbooks, figures)

if __name__ == "__main__":
    main()
