"""Throughput of the kernel-side bridge against a plain Python implementation.

Run from the repository root:

    /usr/bin/python3 bench/bench_panticle.py

Each line gives the native time, the time of a straightforward pure-Python
implementation of the same work measured in the same run, and the ratio
(Python time / native time; above 1 means the native module is faster).
"""
import base64
import concurrent.futures
import datetime as dt
import gc
import os
import queue
import sys
import threading
import time
import uuid

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tavrino_master.python_server.tavrino import panticle  # noqa: E402


# ---------------------------------------------------------------- reference

class RefArray(list):
    def __init__(self, object_id):
        super().__init__()
        object.__setattr__(self, "_internal_id", int(object_id))
        object.__setattr__(self, "_internal_typeName", "Array")
        object.__setattr__(self, "_msg_guid", ref_messaging._guid)
        object.__setattr__(self, "_typ", "officejs_array")
        object.__setattr__(self, "_internal_cache", {})


class RefDict(dict):
    def __init__(self, object_id):
        super().__init__()
        object.__setattr__(self, "_internal_id", int(object_id))
        object.__setattr__(self, "_internal_typeName", "Dict")
        object.__setattr__(self, "_msg_guid", ref_messaging._guid)
        object.__setattr__(self, "_typ", "officejs_dict")
        object.__setattr__(self, "_internal_cache", {})


class RefSerializer:
    @staticmethod
    def to_wire(value):
        if value is None:
            return {"type": "Null", "value": None, "isSpec": False}
        if isinstance(value, (bool, np.bool_)):
            return {"type": "Bool", "value": bool(value), "isSpec": False}
        if isinstance(value, int):
            return {"type": "Int", "value": int(value), "isSpec": False}
        if isinstance(value, float):
            return {"type": "Float", "value": float(value), "isSpec": False}
        if isinstance(value, str):
            return {"type": "String", "value": value, "isSpec": False}
        if isinstance(value, (dt.datetime, dt.date, pd.Timestamp, np.datetime64)):
            if isinstance(value, dt.datetime) and value.tzinfo is not None:
                value = value.astimezone(dt.timezone.utc)
            text = str(value) if isinstance(value, np.datetime64) else value.isoformat()
            return {"type": "Date", "value": text, "isSpec": False}
        if isinstance(value, (bytes, bytearray, memoryview)):
            return {"type": "Bytes", "value": base64.b64encode(bytes(value)).decode("ascii"), "isSpec": False}
        if isinstance(value, (list, tuple)):
            return {"type": "Array", "value": [RefSerializer.to_wire(v) for v in value], "isSpec": False}
        if isinstance(value, dict):
            return {"type": "Dict", "value": {k: RefSerializer.to_wire(v) for k, v in value.items()},
                    "isSpec": False}
        if isinstance(value, (pd.Series, pd.DataFrame)):
            frame = value.to_frame() if isinstance(value, pd.Series) else value
            rows = [frame.columns.tolist()] + [row.tolist() for row in frame.values]
            return RefSerializer.to_wire(rows)
        if callable(value):
            return {"type": "Python_Function", "value": "pyfunc_x", "isSpec": True}
        return {"type": "String", "value": str(value), "isSpec": False}

    @staticmethod
    def from_wire(wire):
        if type(wire) is not dict:
            raise TypeError("wire must be dict")
        t = wire.get("type")
        v = wire.get("value")
        if t == "Null":
            return None
        if t == "Bool":
            return bool(v)
        if t == "Int":
            return int(v)
        if t == "Float":
            return float(v)
        if t == "String":
            return str(v)
        if t == "Date":
            try:
                return dt.datetime.fromisoformat(v)
            except Exception:
                return v
        if t == "Bytes":
            return base64.b64decode(v or b"")
        if t == "Array":
            arr = RefArray(wire.get("id"))
            if v:
                arr.extend([RefSerializer.from_wire(x) for x in v])
            return arr
        if t == "Dict":
            d = RefDict(wire.get("id"))
            if v:
                d.update({k: RefSerializer.from_wire(x) for k, x in v.items()})
            return d
        return str(v)


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


# ---------------------------------------------------------------- timing

def best_of(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        result = fn()
        elapsed = time.perf_counter() - t0
        del result
        best = min(best, elapsed)
    return best


def line(label, native, python, unit_count, unit):
    print(f"{label:<48} native {native * 1e3:9.1f} ms  python {python * 1e3:9.1f} ms  "
          f"ratio {python / native:6.2f}x  ({unit_count / native:,.0f} {unit}/s native)")


def bench_round_trip(messaging, count):
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
        thread.join()
        messaging.set_send_handler(None)


def main():
    repeat = 3
    rng = np.random.default_rng(1)
    frame = pd.DataFrame(rng.random((100_000, 10)), columns=[f"c{i}" for i in range(10)])
    cells = frame.size
    line("to_wire DataFrame 100000x10 float64",
         best_of(lambda: panticle.Serializer.to_wire(frame), repeat),
         best_of(lambda: RefSerializer.to_wire(frame), repeat), cells, "cells")

    mixed = pd.DataFrame({"a": np.arange(100_000), "b": ["x"] * 100_000, "c": rng.random(100_000)})
    line("to_wire DataFrame 100000x3 mixed (object)",
         best_of(lambda: panticle.Serializer.to_wire(mixed), repeat),
         best_of(lambda: RefSerializer.to_wire(mixed), repeat), mixed.size, "cells")

    nested = frame.values.tolist()
    line("to_wire nested list 100000x10",
         best_of(lambda: panticle.Serializer.to_wire(nested), repeat),
         best_of(lambda: RefSerializer.to_wire(nested), repeat), cells, "cells")

    def with_ids(wire):
        # As the add-in sends them: every array carries its remote id.
        rows = [{"type": "Array", "id": 2 + i, "value": row["value"]} for i, row in enumerate(wire["value"])]
        return {"type": "Array", "id": 1, "value": rows}

    # Proxies freed after each run send a release; without a send handler it
    # fails at once and is swallowed. Only the decoding is timed.
    frame_wire = with_ids(RefSerializer.to_wire(frame))
    line("from_wire DataFrame wire (header + 100000 rows)",
         best_of(lambda: panticle.Serializer.from_wire(frame_wire), repeat),
         best_of(lambda: RefSerializer.from_wire(frame_wire), repeat), cells, "cells")

    range_wire = with_ids(RefSerializer.to_wire(nested))
    line("from_wire Range 100000x10 into proxies",
         best_of(lambda: panticle.Serializer.from_wire(range_wire), repeat),
         best_of(lambda: RefSerializer.from_wire(range_wire), repeat), cells, "cells")

    count = 5000
    native = python = float("inf")
    for _ in range(5):  # interleaved: both see the same machine load
        native = min(native, bench_round_trip(panticle.messaging, count))
        python = min(python, bench_round_trip(ref_messaging, count))
    line("send_request_sync round trip (other thread)", native, python, count, "requests")


if __name__ == "__main__":
    main()
