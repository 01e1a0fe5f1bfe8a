"""Worksheet-function calls of several workbooks under one request id, driven
through dispatch: each answer reaches only the add-in whose kernel gave it."""
import asyncio
import itertools

import pytest

import tavrino_master.business_layer.relvane as relvane
from fakes import Sock
from servers import scaled

BOOKS = ["bookA", "bookB", "bookC"]


async def connected_manager(monkeypatch):
    """A fresh manager in place, with an add-in and a kernel per workbook and one IDE."""
    fresh = relvane.ConnectionManager()
    monkeypatch.setattr(relvane, "manager", fresh)
    fresh.socks = {"ide": Sock()}
    await fresh.connect("ide", "ide-1", fresh.socks["ide"])
    for wb in BOOKS:
        for client_type in ("addin", "kernel"):
            fresh.socks[client_type, wb] = sock = Sock()
            await fresh.connect(client_type, wb, sock)
    return fresh


@pytest.fixture
async def m(monkeypatch):
    return await connected_manager(monkeypatch)


async def call(wb, rid="dup"):
    await relvane.handle_message("addin", wb, {"type": "function_execution", "module_name": "calc",
                                               "function_name": "which", "args": [], "request_id": rid})


def answer_of(wb, rid="dup", kind="execution_result"):
    payload = {"result": {"type": "String", "value": wb}} if kind == "execution_result" else {"error": {"message": wb}}
    return dict({"type": kind, "request_id": rid, "logs": ""}, **payload)


async def answer(wb, rid="dup", kind="execution_result"):
    await relvane.handle_message("kernel", wb, answer_of(wb, rid, kind))


async def delivered(m):
    """What each add-in and the IDE got, once the batcher's flushes have run."""
    await asyncio.wait_for(asyncio.gather(*m._result_batcher._flush_tasks.values()), scaled(5))
    got = {wb: list(m.socks["addin", wb].sent) for wb in BOOKS}
    got["ide"] = list(m.socks["ide"].sent)
    for sock in m.socks.values():
        sock.sent.clear()
    return got


def own_result(wb, kind="execution_result"):
    if kind == "execution_result":
        return {"type": "function_execution_result", "request_id": "dup", "status": "success",
                "result": {"type": "String", "value": wb}, "logs": ""}
    return {"type": "function_execution_result", "request_id": "dup", "status": "error",
            "error": {"message": wb}, "logs": ""}


@pytest.mark.parametrize("kind", ["execution_result", "execution_error"])
@pytest.mark.parametrize("answers", list(itertools.permutations(BOOKS)), ids="-".join)
async def test_each_workbook_gets_its_own_answer(m, answers, kind):
    for wb in BOOKS:
        await call(wb)
    assert m._pending_function_executions == {"dup": "bookC"}  # the latest caller, as before
    for wb in answers:
        await answer(wb, kind=kind)
    got = await delivered(m)
    assert got == {"bookA": [own_result("bookA", kind)], "bookB": [own_result("bookB", kind)],
                   "bookC": [own_result("bookC", kind)], "ide": []}
    assert m._pending_function_executions == {}
    assert not getattr(m, "_overlapping_function_executions", {})


def sequences():
    events = [(what, wb) for what in ("call", "answer") for wb in BOOKS[:2]]
    for n in range(1, 5):
        yield from itertools.product(events, repeat=n)


async def test_any_order_of_calls_and_answers_matches_a_workbook_at_a_time(monkeypatch):
    """Every sequence of up to four calls and answers of two workbooks under one
    id: an answer completes its own workbook's outstanding call, else it is
    relayed unchanged to that workbook's add-in and the IDE; the pending table
    names the latest caller still waiting."""
    monkeypatch.setattr(relvane.ResultBatcher, "COALESCE_DELAY", 0)
    for sequence in sequences():
        manager = await connected_manager(monkeypatch)
        waiting = []  # outstanding callers, latest last
        for what, wb in sequence:
            if what == "call":
                await call(wb)
                if wb in waiting:
                    waiting.remove(wb)
                waiting.append(wb)
                expected = {b: [] for b in BOOKS}
                expected["ide"] = []
            else:
                await answer(wb)
                expected = {b: [] for b in BOOKS}
                if wb in waiting:
                    waiting.remove(wb)
                    expected[wb] = [own_result(wb)]
                    expected["ide"] = []
                else:
                    expected[wb] = expected["ide"] = [answer_of(wb)]
            assert await delivered(manager) == expected, sequence
            table = {"dup": waiting[-1]} if waiting else {}
            assert manager._pending_function_executions == table, sequence


async def test_an_answer_from_a_kernel_that_made_no_such_call_is_only_relayed(m):
    await call("bookA")
    await call("bookB")
    await answer("bookC")
    got = await delivered(m)
    assert got["bookC"] == got["ide"] == [answer_of("bookC")]
    assert got["bookA"] == got["bookB"] == []
    await answer("bookA")
    await answer("bookB")
    got = await delivered(m)
    assert got["bookA"] == [own_result("bookA")] and got["bookB"] == [own_result("bookB")]


async def test_ids_that_do_not_collide_keep_only_the_pending_table(m):
    fields = list(vars(m))
    await call("bookA", "r1")
    await call("bookB", "r2")
    await call("bookA", "r1")  # the same workbook again under its own id
    assert m._pending_function_executions == {"r1": "bookA", "r2": "bookB"}
    assert list(vars(m)) == fields
    await answer("bookB", "r2")
    await answer("bookA", "r1")
    got = await delivered(m)
    assert [r["request_id"] for r in got["bookA"]] == ["r1"] and [r["request_id"] for r in got["bookB"]] == ["r2"]
    assert m._pending_function_executions == {} and list(vars(m)) == fields


async def test_results_batch_per_workbook_also_under_shared_ids(m):
    for rid in ("x", "y"):
        for wb in ("bookA", "bookB"):
            await call(wb, rid)
    for rid in ("y", "x"):
        for wb in ("bookB", "bookA"):
            await answer(wb, rid)
    got = await delivered(m)
    for wb in ("bookA", "bookB"):
        [batch] = got[wb]
        assert batch["type"] == "batch_results"
        assert [(r["request_id"], r["result"]["value"]) for r in batch["results"]] == [("y", wb), ("x", wb)]
