"""The business layer in process: `relvane` against the same steps in plain Python.

Run from the repository root (after a build):

    /usr/bin/python3 bench/bench_business_layer.py [--calls 2000] [--rounds 7]

Both implementations are driven by the same code with fake sockets and the
result batcher's window set to 0, so only the layer's own work is timed:

- call road: the add-in's "function_execution" through `handle_message` (names
  checked, modules synced, call recorded and sent to the kernel), then the
  kernel's "execution_result" (call matched, result queued, batch flushed to
  the add-in);
- call road with code: the same, for a workbook that also holds 50 cached
  modules of 100 KiB, none changed between calls: a call should cost about the
  same however much code the workbook holds (goal: within 1.3x of the call
  road);
- relay road: the add-in's "execution_request" relayed to the kernel and the
  kernel's "sys_request" relayed back.

The floor is the asyncio work that any implementation of these steps has to do
(the response matcher run once the dispatching task yields, the batcher's lock,
flush task and sleep), driven the same way with empty bodies. Rounds interleave the
implementations; every figure is the min/median/max over rounds.
"""
import argparse
import asyncio
import gc
import logging
import os
import statistics
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

WORKBOOK = "bench-wb"
CODE_WORKBOOK = "bench-wb-code"
MODULES = {"calc": "def f(x):\n    return x\n", "util": "def g():\n    return 2\n"}
BIG_MODULES, BIG_MODULE_SIZE = 50, 100 * 1024


def big_modules():
    """MODULES plus BIG_MODULES distinct module texts of BIG_MODULE_SIZE characters each."""
    modules = dict(MODULES)
    for n in range(BIG_MODULES):
        head = f"# generated module {n}\n"
        line = f"VALUE_{n} = {n}\n"
        modules[f"big_{n}"] = head + line * ((BIG_MODULE_SIZE - len(head)) // len(line))
    return modules


class Sock:
    def __init__(self):
        self.sent = []

    async def send_json(self, message):
        self.sent.append(message)


def install(module, workbook=WORKBOOK, modules=MODULES):
    """Fake add-in and kernel sockets and a module cache on the module's manager."""
    manager = module.manager
    addin, kernel = Sock(), Sock()
    manager.active_connections["addin"][workbook] = addin
    manager.active_connections["kernel"][workbook] = kernel
    manager.workbook_modules[workbook] = dict(modules)
    module.ResultBatcher.COALESCE_DELAY = 0
    module.logger.setLevel(logging.INFO)
    return addin, kernel


async def settle(addin):
    """Until the add-in has its answer, then one more loop turn so that work queued on the way (the
    response matcher, flush tasks) runs inside the timed call too."""
    while not addin.sent:
        await asyncio.sleep(0)
    await asyncio.sleep(0)


async def call_road(module, addin, kernel, calls, workbook=WORKBOOK):
    handle = module.handle_message
    for i in range(calls):
        rid = f"call-{i}"
        await handle("addin", workbook, {"type": "function_execution", "module_name": "calc", "function_name": "f",
                                         "args": [{"type": "int", "value": i}], "request_id": rid})
        await handle("kernel", workbook, {"type": "execution_result", "request_id": rid,
                                          "result": {"type": "int", "value": i}, "logs": ""})
        await settle(addin)
        assert addin.sent[-1]["request_id"] == rid, addin.sent[-1]
        # nothing changed between calls: the kernel gets the call and no module
        assert [m["type"] for m in kernel.sent] == ["custom_function_call"], kernel.sent
        addin.sent.clear()
        kernel.sent.clear()


async def code_road(module, addin, kernel, calls):
    await call_road(module, addin, kernel, calls, CODE_WORKBOOK)


async def relay_road(module, addin, kernel, calls):
    handle = module.handle_message
    for i in range(calls):
        rid = f"relay-{i}"
        await handle("addin", WORKBOOK, {"type": "execution_request", "request_id": rid, "code": i})
        await handle("kernel", WORKBOOK, {"type": "sys_request", "request_id": rid})
        await settle(addin)
        assert addin.sent[-1]["request_id"] == rid and kernel.sent[-1]["request_id"] == rid
        addin.sent.clear()
        kernel.sent.clear()


class Floor:
    """The asyncio steps the roads cannot do without, with empty bodies."""

    def __init__(self):
        self.background = set()
        self.lock = asyncio.Lock()

    def start(self, coro):
        task = asyncio.create_task(coro)
        self.background.add(task)
        task.add_done_callback(self.background.discard)

    def match(self, message):
        # the matcher runs once the dispatching task first yields: a loop callback does that
        asyncio.get_running_loop().call_soon(self.matcher, message)

    def matcher(self, message):
        return False

    async def flush(self, addin, message):
        await asyncio.sleep(0)
        async with self.lock:
            pass
        await addin.send_json(message)

    async def call(self, addin, kernel, rid):
        call = {"request_id": rid}
        self.match(call)
        await kernel.send_json(call)
        self.match(call)
        async with self.lock:
            self.start(self.flush(addin, call))

    async def relay(self, addin, kernel, rid):
        message = {"request_id": rid}
        self.match(message)
        await kernel.send_json(message)
        self.match(message)
        await addin.send_json(message)


async def floor_road(kind, addin, kernel, calls):
    floor = Floor()
    step = floor.call if kind == "call" else floor.relay
    for i in range(calls):
        rid = f"{kind}-{i}"
        await step(addin, kernel, rid)
        await settle(addin)
        addin.sent.clear()
        kernel.sent.clear()


async def timed(coro_factory):
    gc.collect()
    start = time.perf_counter()
    await coro_factory()
    return time.perf_counter() - start


def spread(values, unit=1.0, digits=2):
    return "min {:.{d}f}  median {:.{d}f}  max {:.{d}f}".format(
        min(values) * unit, statistics.median(values) * unit, max(values) * unit, d=digits)


async def measure(calls, rounds, warmup):
    import pure_business_layer as pure
    from tavrino_master.business_layer import relvane

    code = big_modules()
    socks = {"relvane": install(relvane), "python": install(pure)}
    code_socks = {"relvane": install(relvane, CODE_WORKBOOK, code), "python": install(pure, CODE_WORKBOOK, code)}
    impls = {"relvane": relvane, "python": pure}
    roads = {"call": call_road, "code": code_road, "relay": relay_road}
    road_socks = {"call": socks, "code": code_socks, "relay": socks}
    for name, module in impls.items():  # first module sync, outside the warm-up's checks and quietly
        module.logger.setLevel(logging.WARNING)
        for workbook, (addin, kernel) in ((WORKBOOK, socks[name]), (CODE_WORKBOOK, code_socks[name])):
            await module.full_code_sync(workbook)
            kernel.sent.clear()
        module.logger.setLevel(logging.INFO)
    for road_name, road in roads.items():  # warm-up: caches
        for name, module in impls.items():
            await road(module, *road_socks[road_name][name], warmup)
    floor_socks = (Sock(), Sock())

    per_call = {(road, impl): [] for road in roads for impl in ("relvane", "python", "floor")}
    for _ in range(rounds):
        for road_name, road in roads.items():
            for name, module in impls.items():
                elapsed = await timed(lambda: road(module, *road_socks[road_name][name], calls))
                per_call[(road_name, name)].append(elapsed / calls)
            elapsed = await timed(lambda: floor_road("call" if road_name == "code" else road_name,
                                                     *floor_socks, calls))
            per_call[(road_name, "floor")].append(elapsed / calls)
    return per_call


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--warmup", type=int, default=200)
    args = parser.parse_args()

    os.environ["HOME"] = tempfile.mkdtemp(prefix="bench-home-")  # start-up writes its settings under ~
    logging.basicConfig(level=logging.WARNING)
    per_call = asyncio.run(measure(args.calls, args.rounds, args.warmup))

    print(f"business layer in process: {args.calls} calls per round, {args.rounds} interleaved rounds, window 0")
    titles = {"call": "call road", "relay": "relay road",
              "code": f"call road, {BIG_MODULES} modules of {BIG_MODULE_SIZE // 1024} KiB cached"}
    for road in ("call", "code", "relay"):
        native, python, floor = (per_call[(road, k)] for k in ("relvane", "python", "floor"))
        print(titles[road])
        print(f"  relvane        us/call  {spread(native, 1e6)}")
        print(f"  plain Python   us/call  {spread(python, 1e6)}")
        print(f"  asyncio floor  us/call  {spread(floor, 1e6)}")
        ratios = [n / p for n, p in zip(native, python)]
        floor_ratios = [f / p for f, p in zip(floor, python)]
        print(f"  ratio relvane / Python       {spread(ratios)}   (goal <= 0.50)")
        print(f"  ratio floor / Python         {spread(floor_ratios)}   (no implementation goes below)")
        above = [(n - f) / (p - f) for n, p, f in zip(native, python, floor)]
        print(f"  relvane's share of Python's work above the floor  {spread(above)}")
        if road == "code":
            for name, label in (("relvane", "relvane"), ("python", "Python")):
                grown = [c / p for c, p in zip(per_call[("code", name)], per_call[("call", name)])]
                print(f"  ratio {label} with code / without  {spread(grown)}   (goal <= 1.30)")


if __name__ == "__main__":
    main()
