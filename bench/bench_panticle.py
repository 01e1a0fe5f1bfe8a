"""Throughput of the kernel-side bridge against a pure-Python implementation.

Run from the repository root:

    /usr/bin/python3 bench/bench_panticle.py [--rounds N] [--rows N]

The baseline below is written the way a careful Python programmer would write
the same serializer and messaging: exact-type dispatch for the common types,
comprehensions, one `tolist()` per table. Native and Python runs alternate
round by round, so both see the same machine load; each line prints the
median times and the min/median/max of the per-round ratio (Python time /
native time: above 1 means the native module is faster).
"""
import argparse
import base64
import concurrent.futures
import datetime as dt
import gc
import itertools
import os
import queue
import resource
import statistics
import sys
import threading
import time
import uuid

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tavrino_master.python_server.tavrino import panticle  # noqa: E402


# ---------------------------------------------------------------- baseline

class RefMessaging:
    def __init__(self):
        self.waiters = {}
        self._waiters_lock = threading.Lock()
        self._guid = uuid.uuid4().hex
        self._send_handler = None

    def set_send_handler(self, handler):
        self._send_handler = handler

    def send_request_sync(self, req, timeout=30.0):
        if not self._send_handler:
            raise RuntimeError("No send handler registered")
        rid = uuid.uuid4().hex
        env = dict(req)
        env["requestId"] = rid
        env["kind"] = "request"
        fut = concurrent.futures.Future()
        with self._waiters_lock:
            self.waiters[rid] = fut
        try:
            self._send_handler(env)
            return fut.result(timeout=timeout)
        except TimeoutError:
            with self._waiters_lock:
                self.waiters.pop(rid, None)
            raise TimeoutError("Timed out waiting for Office.js response")
        except Exception:
            with self._waiters_lock:
                self.waiters.pop(rid, None)
            raise

    def on_message(self, message):
        rid = message.get("requestId")
        if not rid:
            return
        with self._waiters_lock:
            fut = self.waiters.pop(rid, None)
        if fut is None or fut.done():
            return
        if message.get("ok"):
            fut.set_result(message)
        else:
            err = message.get("error")
            text = err.get("message", "Remote error") if isinstance(err, dict) else "Remote error"
            fut.set_exception(RuntimeError(text))


ref_messaging = RefMessaging()


def ref_release(proxy):
    try:
        ref_messaging.send_request_sync({"method": "DEL", "name": "__del__", "caller": proxy._internal_id})
    except Exception:
        pass


def stamp(proxy, object_id, type_name, typ):
    object.__setattr__(proxy, "_internal_id", int(object_id))
    object.__setattr__(proxy, "_internal_typeName", type_name)
    object.__setattr__(proxy, "_msg_guid", ref_messaging._guid)
    object.__setattr__(proxy, "_typ", typ)
    object.__setattr__(proxy, "_internal_cache", {})


class RefArray(list):
    def __init__(self, object_id):
        super().__init__()
        stamp(self, object_id, "Array", "officejs_array")

    def __del__(self):
        ref_release(self)


class RefDict(dict):
    def __init__(self, object_id):
        super().__init__()
        stamp(self, object_id, "Dict", "officejs_dict")

    def __del__(self):
        ref_release(self)


_DATES = (dt.datetime, dt.date, pd.Timestamp, np.datetime64)
_UTC = dt.timezone.utc


def ref_to_wire(value):
    t = type(value)
    if t is float:
        return {"type": "Float", "value": value, "isSpec": False}
    if t is str:
        return {"type": "String", "value": value, "isSpec": False}
    if t is int:
        return {"type": "Int", "value": value, "isSpec": False}
    if t is list or t is tuple:
        return {"type": "Array", "value": [ref_to_wire(v) for v in value], "isSpec": False}
    if t is bool:
        return {"type": "Bool", "value": value, "isSpec": False}
    if value is None:
        return {"type": "Null", "value": None, "isSpec": False}
    if t is pd.Timestamp or t is dt.datetime:
        if value.tzinfo is not None:
            value = value.astimezone(_UTC)
        return {"type": "Date", "value": value.isoformat(), "isSpec": False}
    if t is dict:
        return {"type": "Dict", "value": {k: ref_to_wire(v) for k, v in value.items()}, "isSpec": False}
    return ref_to_wire_other(value)


def ref_to_wire_other(value):
    if isinstance(value, (bool, np.bool_)):
        return {"type": "Bool", "value": bool(value), "isSpec": False}
    if isinstance(value, int):
        return {"type": "Int", "value": int(value), "isSpec": False}
    if isinstance(value, float):
        return {"type": "Float", "value": float(value), "isSpec": False}
    if isinstance(value, str):
        return {"type": "String", "value": value, "isSpec": False}
    if isinstance(value, _DATES):
        if isinstance(value, dt.datetime) and value.tzinfo is not None:
            value = value.astimezone(_UTC)
        text = str(value) if isinstance(value, np.datetime64) else value.isoformat()
        return {"type": "Date", "value": text, "isSpec": False}
    if isinstance(value, (bytes, bytearray, memoryview)):
        return {"type": "Bytes", "value": base64.b64encode(bytes(value)).decode("ascii"), "isSpec": False}
    if isinstance(value, (list, tuple)):
        return {"type": "Array", "value": [ref_to_wire(v) for v in value], "isSpec": False}
    if isinstance(value, dict):
        return {"type": "Dict", "value": {k: ref_to_wire(v) for k, v in value.items()}, "isSpec": False}
    if isinstance(value, (pd.Series, pd.DataFrame)):
        frame = value.to_frame() if isinstance(value, pd.Series) else value
        return ref_to_wire([frame.columns.tolist()] + frame.values.tolist())
    if callable(value):
        return {"type": "Python_Function", "value": "pyfunc_x", "isSpec": True}
    return {"type": "String", "value": str(value), "isSpec": False}


def ref_from_wire(wire):
    if type(wire) is not dict:
        raise TypeError("wire must be dict")
    t = wire.get("type")
    v = wire.get("value")
    if t == "Float":
        return v if type(v) is float else float(v)
    if t == "String":
        return v if type(v) is str else str(v)
    if t == "Int":
        return v if type(v) is int else int(v)
    if t == "Array":
        arr = RefArray(wire.get("id"))
        if v:
            arr.extend([ref_from_wire(x) for x in v])
        return arr
    if t == "Null":
        return None
    if t == "Bool":
        return bool(v)
    if t == "Date":
        try:
            return dt.datetime.fromisoformat(v)
        except Exception:
            return v
    if t == "Bytes":
        return base64.b64decode(v or b"")
    if t == "Dict":
        d = RefDict(wire.get("id"))
        if v:
            d.update({k: ref_from_wire(x) for k, x in v.items()})
        return d
    return str(v)


# ---------------------------------------------------------------- timing

def cpu():
    usage = resource.getrusage(resource.RUSAGE_THREAD)
    return usage.ru_utime, usage.ru_stime


def timed(fn, split=None):
    """Wall time of fn(); `split`, when given, gets the user and kernel CPU time."""
    gc.collect()
    u0, s0 = cpu()
    t0 = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - t0
    u1, s1 = cpu()
    del result
    if split is not None:
        split.append((u1 - u0, s1 - s0))
    return elapsed


def released(build):
    """Time of dropping the last reference to what `build` made."""
    obj = build()
    gc.collect()
    t0 = time.perf_counter()
    del obj
    return time.perf_counter() - t0


class Case:
    def __init__(self, label, unit_count, unit):
        self.label, self.unit_count, self.unit = label, unit_count, unit
        self.native, self.python = [], []
        self.native_cpu, self.python_cpu = [], []

    def add(self, native, python):
        self.native.append(native)
        self.python.append(python)

    def report(self, goal=None):
        ratios = [p / n for n, p in zip(self.native, self.python)]
        native, python = statistics.median(self.native), statistics.median(self.python)
        rate = f"  {self.unit_count / native:>12,.0f} {self.unit}/s native" if self.unit else ""
        target = f"  goal >= {goal:g}x" if goal else ""
        print(f"{self.label:<46} native {native * 1e3:8.1f} ms  python {python * 1e3:8.1f} ms  ratio "
              f"min {min(ratios):5.2f}x  median {statistics.median(ratios):5.2f}x  max {max(ratios):5.2f}x"
              f"{rate}{target}")
        if self.native_cpu:
            # Kernel time here is first touch of fresh memory: both sides build
            # the same objects, so it is a floor that neither can go below.
            nu, ns = (statistics.median(x) for x in zip(*self.native_cpu))
            pu, ps = (statistics.median(x) for x in zip(*self.python_cpu))
            print(f"{'':<46} user CPU native {nu * 1e3:8.1f} ms  python {pu * 1e3:8.1f} ms  ratio {pu / nu:5.2f}x;"
                  f"  kernel (page faults) native {ns * 1e3:6.1f} ms  python {ps * 1e3:6.1f} ms")

    def add_split(self, native_fn, python_fn):
        self.add(timed(native_fn, self.native_cpu), timed(python_fn, self.python_cpu))


def round_trip(messaging, count):
    inbox = queue.SimpleQueue()

    def listener():
        while True:
            env = inbox.get()
            if env is None:
                return
            messaging.on_message({"requestId": env["requestId"], "ok": True,
                                  "result": {"type": "Null", "value": None, "isSpec": False}})

    thread = threading.Thread(target=listener, daemon=True)
    thread.start()
    messaging.set_send_handler(inbox.put)
    req = {"method": "GET", "name": "values", "caller": 1}
    try:
        t0 = time.perf_counter()
        for _ in range(count):
            messaging.send_request_sync(req)
        return time.perf_counter() - t0
    finally:
        inbox.put(None)
        thread.join(timeout=30)
        messaging.set_send_handler(None)


def mixed_frame(rows, rng):
    """Ten columns of the kinds a workbook holds, one of them dates."""
    return pd.DataFrame({
        "f1": rng.random(rows), "f2": rng.random(rows) * 100, "f3": rng.normal(size=rows),
        "f4": rng.random(rows), "i1": np.arange(rows), "i2": rng.integers(0, 1000, rows),
        "name": [f"item {i % 97}" for i in range(rows)], "flag": rng.random(rows) > 0.5,
        "when": pd.date_range("2024-01-01 09:30", periods=rows, freq="37min"),
        "f5": rng.random(rows),
    })


def with_ids(wire):
    # As the add-in sends them: every array carries its remote id.
    rows = [{"type": "Array", "id": 2 + i, "value": row["value"]} for i, row in enumerate(wire["value"])]
    return {"type": "Array", "id": 1, "value": rows}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--rows", type=int, default=100_000)
    opts = parser.parse_args()
    rows = opts.rows
    rng = np.random.default_rng(1)
    frame = pd.DataFrame(rng.random((rows, 10)), columns=[f"c{i}" for i in range(10)])
    mixed = mixed_frame(rows, rng)
    nested = frame.values.tolist()
    frame_wire = with_ids(ref_to_wire(frame))
    assert panticle.Serializer.to_wire(mixed) == ref_to_wire(mixed), "baseline differs from the native result"
    assert panticle.Serializer.to_wire(frame) == ref_to_wire(frame), "baseline differs from the native result"
    native_tw, native_fw = panticle.Serializer.to_wire, panticle.Serializer.from_wire
    panticle.messaging.set_send_handler(None)
    ref_messaging.set_send_handler(None)

    cases = {
        "float": Case(f"to_wire DataFrame {rows}x10 float64", frame.size, "cells"),
        "mixed": Case(f"to_wire DataFrame {rows}x10 mixed, dates", mixed.size, "cells"),
        "nested": Case(f"to_wire nested list {rows}x10", frame.size, "cells"),
        "decode": Case(f"from_wire table wire, {rows + 1} proxies", frame.size, "cells"),
        "release": Case(f"release of the {rows + 1} proxies (no handler)", rows + 1, "proxies"),
        "request": Case("send_request_sync round trip (other thread)", 5000, "requests"),
    }
    # The allocations a float frame's wire form cannot avoid: its cells as
    # Python floats (NumPy's own conversion) and one three-key record per cell
    # made by a C-level dict copy, nothing else, timed apart.
    record = {"type": "Float", "value": None, "isSpec": False}
    tolist, records = [], []
    for _ in range(opts.rounds):
        tolist.append(timed(lambda: frame.values.tolist()))
        records.append(timed(lambda: list(map(dict.copy, itertools.repeat(record, frame.size)))))
        cases["float"].add_split(lambda: native_tw(frame), lambda: ref_to_wire(frame))
        cases["mixed"].add_split(lambda: native_tw(mixed), lambda: ref_to_wire(mixed))
        cases["nested"].add_split(lambda: native_tw(nested), lambda: ref_to_wire(nested))
        cases["decode"].add(timed(lambda: native_fw(frame_wire)), timed(lambda: ref_from_wire(frame_wire)))
        cases["release"].add(released(lambda: native_fw(frame_wire)), released(lambda: ref_from_wire(frame_wire)))
        cases["request"].add(round_trip(panticle.messaging, 5000), round_trip(ref_messaging, 5000))

    print(f"{opts.rounds} interleaved rounds; medians of the times, min/median/max of the per-round ratios")
    cases["float"].report(goal=6)
    float_native = statistics.median(cases["float"].native)
    floor = statistics.median(tolist) + statistics.median(records)
    print(f"{'':<46} float frame: {frame.size / float_native / 1e6:.1f} M cells/s (goal >= 8), "
          f"{float_native / statistics.median(tolist):.2f}x the time of df.values.tolist() alone")
    print(f"{'':<46} floor: the same allocations alone (tolist, one dict copy per cell) {floor * 1e3:.1f} ms; "
          f"native {float_native / floor:.2f}x that, python "
          f"{statistics.median(cases['float'].python) / floor:.2f}x")
    cases["mixed"].report(goal=3)
    cases["nested"].report()
    cases["decode"].report()
    cases["release"].report(goal=1)
    cases["request"].report(goal=1)


if __name__ == "__main__":
    main()
