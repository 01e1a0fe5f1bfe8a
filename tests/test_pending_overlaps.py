"""Worksheet-function calls of several workbooks under one request id, driven
through dispatch: each answer reaches only the add-in whose kernel gave it,
under the add-in's own id."""
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
    """The add-in's call; returns the id its kernel got for it."""
    await relvane.handle_message("addin", wb, {"type": "function_execution", "module_name": "calc",
                                               "function_name": "which", "args": [], "request_id": rid})
    return relvane.manager.socks["kernel", wb].sent[-1]["request_id"]


def answer_of(wb, rid="dup", kind="execution_result"):
    payload = {"result": {"type": "String", "value": wb}} if kind == "execution_result" else {"error": {"message": wb}}
    return dict({"type": kind, "request_id": rid, "logs": ""}, **payload)


async def answer(wb, rid="dup", kind="execution_result"):
    """The kernel's answer under `rid`: the id it got for a call, or one it made up."""
    await relvane.handle_message("kernel", wb, answer_of(wb, rid, kind))


def waiting(m):
    """(workbook, add-in's id) of each outstanding call."""
    return sorted((wb, rid) for wb, _, rid in m._pending_function_executions.values())


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
    calls = {wb: await call(wb) for wb in BOOKS}
    assert len(set(calls.values())) == 3 and waiting(m) == [(wb, "dup") for wb in BOOKS]
    for wb in answers:
        await answer(wb, calls[wb], kind=kind)
    got = await delivered(m)
    assert got == {"bookA": [own_result("bookA", kind)], "bookB": [own_result("bookB", kind)],
                   "bookC": [own_result("bookC", kind)], "ide": []}
    assert m._pending_function_executions == {}


def sequences():
    events = [(what, wb) for what in ("call", "answer") for wb in BOOKS[:2]]
    for n in range(1, 5):
        yield from itertools.product(events, repeat=n)


async def test_any_order_of_calls_and_answers_matches_a_workbook_at_a_time(monkeypatch):
    """Every sequence of up to four calls and answers of two workbooks under one
    id: a kernel answering the oldest call it has completes that call for its
    own add-in; one with no call answers under the add-in's id, which is only
    relayed to that workbook's add-in and the IDE; every outstanding call stays
    pending."""
    monkeypatch.setattr(relvane.ResultBatcher, "COALESCE_DELAY", 0)
    for sequence in sequences():
        manager = await connected_manager(monkeypatch)
        outstanding = {wb: [] for wb in BOOKS}  # the kernel ids of each workbook's calls, oldest first
        for what, wb in sequence:
            expected = {b: [] for b in BOOKS}
            expected["ide"] = []
            if what == "call":
                outstanding[wb].append(await call(wb))
            elif outstanding[wb]:
                await answer(wb, outstanding[wb].pop(0))
                expected[wb] = [own_result(wb)]
            else:
                await answer(wb)
                expected[wb] = expected["ide"] = [answer_of(wb)]
            assert await delivered(manager) == expected, sequence
            assert sorted(manager._pending_function_executions) == sorted(
                kernel_id for ids in outstanding.values() for kernel_id in ids), sequence


async def test_an_answer_from_a_kernel_that_made_no_such_call_is_only_relayed(m):
    calls = {wb: await call(wb) for wb in ("bookA", "bookB")}
    await answer("bookC")
    got = await delivered(m)
    assert got["bookC"] == got["ide"] == [answer_of("bookC")]
    assert got["bookA"] == got["bookB"] == []
    await answer("bookA", calls["bookA"])
    await answer("bookB", calls["bookB"])
    got = await delivered(m)
    assert got["bookA"] == [own_result("bookA")] and got["bookB"] == [own_result("bookB")]


async def test_worksheet_calls_keep_only_the_pending_table(m):
    fields = list(vars(m))
    first = await call("bookA", "r1")
    other = await call("bookB", "r2")
    again = await call("bookA", "r1")  # the same workbook again under its own id: a call of its own
    assert waiting(m) == [("bookA", "r1"), ("bookA", "r1"), ("bookB", "r2")]
    assert list(vars(m)) == fields
    for wb, kernel_id in (("bookB", other), ("bookA", again), ("bookA", first)):
        await answer(wb, kernel_id)
    got = await delivered(m)
    [batch] = got["bookA"]
    assert [r["request_id"] for r in batch["results"]] == ["r1", "r1"]
    assert [r["request_id"] for r in got["bookB"]] == ["r2"]
    assert m._pending_function_executions == {} and list(vars(m)) == fields


async def test_results_batch_per_workbook_also_under_shared_ids(m):
    calls = {}
    for rid in ("x", "y"):
        for wb in ("bookA", "bookB"):
            calls[wb, rid] = await call(wb, rid)
    for rid in ("y", "x"):
        for wb in ("bookB", "bookA"):
            await answer(wb, calls[wb, rid])
    got = await delivered(m)
    for wb in ("bookA", "bookB"):
        [batch] = got[wb]
        assert batch["type"] == "batch_results"
        assert [(r["request_id"], r["result"]["value"]) for r in batch["results"]] == [("y", wb), ("x", wb)]
