"""A Node.js client plays the add-in against the real host: every frame it gets
must parse with JavaScript's JSON.parse."""
import asyncio
import json
import os
import shutil
import subprocess
import uuid

import pytest

from e2e_clients import Client, connections, master
from helpers import wait_until
from servers import scaled
from tavrino_master.python_server import wire_json

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "addin_node.js")
NODE = shutil.which("node") or shutil.which("nodejs")
# Debian's node modules; a nodejs from elsewhere does not look there by itself.
NODE_ENV = dict(os.environ, NODE_PATH=os.pathsep.join(filter(None, ["/usr/share/nodejs",
                                                                    os.environ.get("NODE_PATH")])))

pytestmark = pytest.mark.skipif(NODE is None, reason="needs nodejs and node-ws (scripts/setup.sh installs them)")


def wire(tag, value, spec=False):
    return {"type": tag, "value": value, "isSpec": spec}


MISSING = wire("Null", None)


def call(function_name, *args, rid=None, kind="function_execution", module="data"):
    return {"type": kind, "module_name": module, "function_name": function_name, "args": list(args),
            "request_id": rid or function_name}


async def run_addin(port, tmp_path, workbook_id, plan, timeout):
    """Runs the Node add-in to its end: (exit code, report or None, stderr)."""
    plan_path = tmp_path / f"plan-{workbook_id}.json"
    report_path = tmp_path / f"report-{workbook_id}.json"
    plan_path.write_text(json.dumps(dict(plan, timeout_ms=int(timeout * 1000))))
    proc = await asyncio.create_subprocess_exec(
        NODE, SCRIPT, f"ws://127.0.0.1:{port}/ws/addin/{workbook_id}?name=Book1", str(plan_path), str(report_path),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=NODE_ENV)
    try:
        _, err = await asyncio.wait_for(proc.communicate(), timeout + scaled(15))
    except asyncio.TimeoutError:
        proc.kill()
        await proc.wait()
        raise
    report = json.loads(report_path.read_text()) if proc.returncode == 0 else None
    return proc.returncode, report, err.decode()


# ---------------------------------------------------------------- real kernel program

DATA = """\
import datetime as dt

import numpy as np
import pandas as pd


def nan():
    return float("nan")


def infinities():
    return [float("inf"), float("-inf"), 2.5, np.float64("-inf")]


def dates():
    plus2 = dt.timezone(dt.timedelta(hours=2))
    return [dt.date(2024, 5, 1), dt.datetime(2024, 5, 1, 12, 0), dt.datetime(2024, 5, 1, 12, tzinfo=plus2),
            pd.Timestamp("2024-05-01 12:00"), pd.NaT]


def nested():
    return [[1, [2.5, float("nan")]], {"k": [float("-inf"), "NaN"]}]


def frame():
    return pd.DataFrame({"x": [1.5, np.nan], "n": pd.array([1, None], dtype="Int64"), "s": ["a", None],
                         "d": pd.to_datetime(["2024-05-01", None]), "h": np.array([np.nan, 1], dtype=np.float32)})


def big(rows):
    table = pd.DataFrame(np.arange(rows * 4, dtype=float).reshape(rows, 4), columns=list("abcd"))
    table.iloc[::97, 2] = np.nan
    table.iloc[5, 1] = np.inf
    return table


def wide_ints():
    return [2 ** 53, 2 ** 53 + 1, -(2 ** 53) - 1]


def office():
    book = Context.workbook
    book.ratio = float("nan")
    return book.name


def loud():
    print("value:", float("nan"), float("inf"))
    raise ValueError(float("nan"))


def ticks(which):
    # One value a stream: values yielded back to back may give way to the last one.
    yield [1.0, float("nan"), float("-inf")][which]
"""

OFFICE = {"0.workbook": wire("Workbook", 10, True), "10.name": wire("String", "Book1")}
# Over 16 MiB of JSON: beyond the master's frame limit, so it must travel in chunks.
BIG_ROWS = 100_000


def cells(result):
    """Rows of an "Array" of "Array"s as lists of records."""
    return [row["value"] for row in result["value"]]


async def test_node_addin_parses_every_frame_of_the_real_kernel(tmp_path):
    wb = "node-" + uuid.uuid4().hex[:10]
    calls = [call("nan"), call("infinities"), call("dates"), call("nested"), call("frame"),
             call("big", wire("Int", BIG_ROWS)), call("wide_ints"), call("office"), call("loud"),
             *(call("ticks", wire("Int", i), rid=f"ticks-{i}", kind="streaming_function_execution") for i in range(3))]
    calls += [call("nan", rid=f"nan-{i}") for i in range(60)]  # back to back: the batcher joins them
    with master(tmp_path, env={"TAVRINO_KERNEL_STANDBY": "0"}) as port:
        code, report, err = await run_addin(port, tmp_path, wb, {"modules": {"data": DATA}, "calls": calls,
                                                                 "office": OFFICE}, scaled(90))
    assert code == 0, err
    results = report["results"]
    assert all(r["status"] == "success" for rid, r in results.items() if rid != "loud"), results

    assert results["nan"]["result"] == MISSING
    assert all(results[f"nan-{i}"]["result"] == MISSING for i in range(60))
    assert report["batched"], "no result arrived in a batch"

    assert results["infinities"]["result"] == wire("Array", [
        wire("String", "Infinity"), wire("String", "-Infinity"), wire("Float", 2.5), wire("String", "-Infinity")])
    assert results["dates"]["result"] == wire("Array", [
        wire("Date", "2024-05-01"), wire("Date", "2024-05-01T12:00:00"), wire("Date", "2024-05-01T10:00:00+00:00"),
        wire("Date", "2024-05-01T12:00:00"), MISSING])
    assert results["nested"]["result"] == wire("Array", [
        wire("Array", [wire("Int", 1), wire("Array", [wire("Float", 2.5), MISSING])]),
        wire("Dict", {"k": wire("Array", [wire("String", "-Infinity"), wire("String", "NaN")])})])

    header, first, second = cells(results["frame"]["result"])
    assert [c["value"] for c in header] == ["x", "n", "s", "d", "h"]
    assert first == [wire("Float", 1.5), wire("Int", 1), wire("String", "a"), wire("Date", "2024-05-01T00:00:00"),
                     MISSING]
    assert second == [MISSING, MISSING, MISSING, MISSING, wire("Float", 1.0)]

    rows = cells(results["big"]["result"])
    assert len(rows) == BIG_ROWS + 1
    assert rows[1 + 97][2] == MISSING and rows[1 + 5][1] == wire("String", "Infinity")
    assert rows[1 + 98][2] == wire("Float", 98 * 4 + 2.0)
    assert sum(c == MISSING for row in rows[1:] for c in row) == len(range(0, BIG_ROWS, 97))

    # What JavaScript reads: beyond 2**53 an integer is the nearest double.
    assert [c["value"] for c in results["wide_ints"]["result"]["value"]] == [2 ** 53, 2 ** 53, -(2 ** 53)]

    assert results["office"]["result"] == wire("String", "Book1")
    [write] = [r for r in report["office"] if r["method"] == "SET"]
    assert write["caller"] == 10 and write["name"] == "ratio" and write["value"] == MISSING

    loud = results["loud"]
    assert loud["status"] == "error" and loud["error"]["message"] == "nan"
    assert loud["logs"] == "value: nan inf\n"

    streams = [report["streams"][f"ticks-{i}"] for i in range(3)]
    assert [[m.get("result") for m in stream] for stream in streams] == [
        [wire("Float", 1.0), None], [MISSING, None], [wire("String", "-Infinity"), None]]


# ---------------------------------------------------------------- scripted kernel, Python's own json

NAN, INF = float("nan"), float("inf")
# What each scripted function answers: an "execution_result" with this result,
# or (for "fail") an "execution_error" with this error.
ANSWERS = {
    "one": wire("Float", 1.0),
    "nan": wire("Float", NAN),
    "inf": wire("Float", INF),
    "ninf": wire("Float", -INF),
    "nested": wire("Array", [wire("Float", NAN), wire("Dict", {"k": wire("Float", -INF)}),
                             {"raw": [NAN, INF, -INF, "NaN"], "deep": [[{"x": NAN}]]}]),
    "fail": {"message": "bad", "details": [NAN, {"limit": INF}], "text": "Infinity"},
}
# Relayed unchanged to the add-in: output, and an answer that matches no call.
RELAYS = [{"type": "stdout", "content": "NaN", "values": [NAN, INF, -INF]},
          {"type": "execution_result", "request_id": "stray", "result": wire("Float", NAN), "logs": ""}]


def answer(function_name, rid):
    if function_name == "fail":
        return {"type": "execution_error", "request_id": rid, "error": ANSWERS["fail"], "logs": str(NAN)}
    return {"type": "execution_result", "request_id": rid, "result": ANSWERS[function_name], "logs": ""}


def as_the_kernel_program_sends(message):
    return json.loads(wire_json.dumps(message))


def chunks(text, size=40):
    pieces = [text[i:i + size] for i in range(0, len(text), size)]
    chunk_id = "c-" + uuid.uuid4().hex
    return [json.dumps({"type": "chunk", "chunk_id": chunk_id, "chunk_index": i,
                        "total_chunks": len(pieces), "data": piece}) for i, piece in enumerate(pieces)]


class Kernel(Client):
    """Answers every worksheet-function call once all of `expected` are in, with
    the relays first, written by Python's json (NaN and Infinity included) and
    sent one message a frame, inside one "batch", or that batch in chunks."""

    def __init__(self, ws):
        super().__init__(ws)
        self.packing = None
        self.expected = 0
        self.held = []

    async def on_message(self, message):
        if message.get("type") != "custom_function_call":
            return
        self.held.append(answer(message["function_name"], message["request_id"]))
        if len(self.held) < self.expected:
            return
        messages = RELAYS + self.held
        if self.packing == "alone":
            frames = [json.dumps(m) for m in messages]
        else:
            batch = json.dumps({"type": "batch", "messages": messages})
            frames = [batch] if self.packing == "batch" else chunks(batch)
        for frame in frames:
            await self.ws.send(frame)


@pytest.mark.parametrize("packing", ["alone", "batch", "chunks"])
async def test_node_addin_parses_what_a_kernel_writes_with_python_json(tmp_path, packing):
    wb = "node-" + uuid.uuid4().hex[:10]
    calls = [call(name) for name in ANSWERS]
    plan = {"modules": {}, "calls": calls, "office": {}, "expect": ["stdout", "execution_result"]}
    with master(tmp_path) as port:
        addin = asyncio.ensure_future(run_addin(port, tmp_path, wb, plan, scaled(30)))
        await wait_until(lambda: wb in connections(port).get("addin", []) or addin.done(), 15)
        kernel = await Kernel.connect(port, "kernel", wb)
        kernel.packing, kernel.expected = packing, len(calls)
        code, report, err = await addin
        await kernel.close()
    assert code == 0, err  # JSON.parse took every frame

    # The same values as the kernel program's own encoder gives them.
    for name in ANSWERS:
        sent = answer(name, name)
        outcome = ("error", "error") if name == "fail" else ("success", "result")
        expected = {"type": "function_execution_result", "request_id": name, "status": outcome[0],
                    outcome[1]: sent[outcome[1]], "logs": sent["logs"]}
        assert report["results"][name] == as_the_kernel_program_sends(expected), name
    assert report["results"]["nan"]["result"] == MISSING
    assert report["results"]["ninf"]["result"] == wire("String", "-Infinity")
    assert report["results"]["fail"]["error"]["details"] == [None, {"limit": "Infinity"}]
    assert sorted(report["expected"], key=lambda m: m["type"]) == [
        as_the_kernel_program_sends(m) for m in sorted(RELAYS, key=lambda m: m["type"])]
