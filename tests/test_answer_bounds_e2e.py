"""Answers the master would refuse, for their size or their nesting, through the
real master and the real kernel program: each call is answered with an error
that names the measure and the limit, long logs and error texts arrive cut,
and the workbook's other calls and its kernel connection carry on."""

import pytest
import websockets

from e2e_clients import Client, kernel_processes, master
from helpers import wait_until
from test_kernel_program_e2e import KERNELS_ON, OfficeBook, open_program_book, wire

from tavrino_master.python_server.calls import TEXT_LIMIT
from tavrino_master.python_server.tavrino import panticle

LIMIT = panticle.MAX_MESSAGE_CHARACTERS
# A message packed in a batch sits two levels deeper in its frame.
DEPTH = panticle.MAX_FRAME_DEPTH - 2
# Each level of a nested list is two levels of JSON (a record and its list);
# the answer and the innermost record add two: nested(d) is 2 * d + 2 deep.
DEEPEST_SENT = (DEPTH - 2) // 2

BOUNDS = {"bounds": (
    "def text(n, ch='x'):\n    return ch * n\n"
    "def zeros(n):\n    return [0] * n\n"
    "def nested(depth):\n"
    "    v = 0\n"
    "    for _ in range(depth):\n"
    "        v = [v]\n"
    "    return v\n"
    "def chatty(lines):\n"
    "    for i in range(lines):\n"
    "        print(f'line {i:07d}')\n"
    "    return lines\n"
    "def loud(n):\n    raise ValueError('x' * n)\n"
    "def stream(n):\n    yield 1\n    yield 'x' * n\n    yield 2\n"
    "def hand_out(n):\n    Excel.onCall(lambda: 'x' * n)\n    return 'handed'\n"
    "def fine():\n    return 'still here'\n")}


class LargeFrameBook(OfficeBook):
    """An add-in that reads frames of any size, as the add-in's browser does."""

    @classmethod
    async def connect(cls, port, workbook_id, **state):
        url = f"ws://127.0.0.1:{port}/ws/addin/{workbook_id}"
        return cls(await websockets.connect(url, max_size=None), **state)


@pytest.fixture(scope="module")
def port(tmp_path_factory):
    with master(tmp_path_factory.mktemp("home"), env=KERNELS_ON) as port:
        yield port


@pytest.fixture
async def book(port):
    # The console lines of the long logs come to the IDE too, in frames larger than a client takes by default.
    ide = Client(await websockets.connect(f"ws://127.0.0.1:{port}/ws/ide/ide-bounds", max_size=None))
    await ide.wait_for("workbook_list", timeout=10)
    wb, addin = await open_program_book(port, ide, BOUNDS, "kb", book=LargeFrameBook)
    assert (await addin.call("fine", module="bounds", timeout=30))["result"] == wire("String", "still here")
    yield wb, addin
    assert not addin.of_type("kernel_disconnected") and len(kernel_processes(wb)) == 1
    await addin.close()
    await ide.close()


def too_large(error):
    assert error["type"] == "MessageTooLarge", error
    assert "characters" in error["message"] and f"limit of {LIMIT:,}" in error["message"], error["message"]
    return int(error["message"].split(" has ")[1].split(" characters")[0].replace(",", ""))


OVER = [
    ("text", [wire("Int", LIMIT + 1)], LIMIT + 1),
    # JSON writes each of these as \u00e9: the text is a sixth of the limit.
    ("text", [wire("Int", LIMIT // 6 + 1), wire("String", "\u00e9")], LIMIT + 6),
    # {"type":"Int","value":0,"isSpec":false}, is 40 characters.
    ("zeros", [wire("Int", LIMIT // 40 + 1)], LIMIT),
]


async def test_results_too_large_for_the_master_are_answered_with_their_size(book):
    wb, addin = book
    over = [await addin.start_call(function, *args, module="bounds") for function, args, _ in OVER]
    # The answer's own fields take well under 200 characters.
    within = await addin.start_call("text", wire("Int", LIMIT - 200), module="bounds")
    neighbour = await addin.call("fine", module="bounds", timeout=30)
    assert neighbour["result"] == wire("String", "still here")
    await wait_until(lambda: all(r in addin.results() for r in over + [within]), 90)
    for rid, (_, _, least) in zip(over, OVER):
        answer = addin.results()[rid]
        assert answer["status"] == "error" and too_large(answer["error"]) >= least
    answer = addin.results()[within]
    assert answer["status"] == "success" and len(answer["result"]["value"]) == LIMIT - 200


def depth_of(record):
    depth = 0
    while record["type"] == "Array":
        record, depth = record["value"][0], depth + 1
    return depth


async def test_results_nested_too_deeply_are_answered_as_errors(book):
    wb, addin = book
    cases = [
        (DEEPEST_SENT + 1, {"MessageTooDeep"}),
        # around where the master's decoder gave up, then the kernel's encoder, then its serializer
        (490, {"MessageTooDeep", "RecursionError"}),
        (700, {"RecursionError"}),
        (1500, {"RecursionError"}),
    ]
    deep = [await addin.start_call("nested", wire("Int", depth), module="bounds") for depth, _ in cases]
    deepest = await addin.start_call("nested", wire("Int", DEEPEST_SENT), module="bounds")
    fine = await addin.start_call("fine", module="bounds")
    await wait_until(lambda: all(r in addin.results() for r in deep + [deepest, fine]), 30)
    for rid, (depth, kinds) in zip(deep, cases):
        error = addin.results()[rid]["error"]
        assert addin.results()[rid]["status"] == "error" and error["type"] in kinds, (depth, error)
        if error["type"] == "MessageTooDeep":
            assert f"limit of {DEPTH}" in error["message"]
    # The deepest answer the kernel sends (packed in a batch or not) reaches the add-in.
    assert depth_of(addin.results()[deepest]["result"]) == DEEPEST_SENT
    assert addin.results()[fine]["result"] == wire("String", "still here")


def assert_cut(text, beginning, end):
    assert len(text) < TEXT_LIMIT + 100 and "characters cut] ..." in text
    assert text.startswith(beginning) and text.endswith(end), (text[:40], text[-40:])


async def test_long_logs_and_error_texts_arrive_cut_with_a_marker(book):
    wb, addin = book
    lines = 3 * TEXT_LIMIT // 13  # "line 0000000\n" is 13 characters
    chatty = await addin.call("chatty", wire("Int", lines), module="bounds", timeout=60)
    assert chatty["status"] == "success" and chatty["result"] == wire("Int", lines)
    assert_cut(chatty["logs"], "line 0000000\nline 0000001\n", f"line {lines - 1:07d}\n")

    loud = await addin.call("loud", wire("Int", 20_000_000), module="bounds", timeout=60)
    assert loud["status"] == "error" and loud["error"]["type"] == "ValueError"
    assert_cut(loud["error"]["message"], "xxxx", "xxxx")
    assert_cut(loud["error"]["traceback"], "Traceback", "xxxx\n")
    assert "raise ValueError" in loud["error"]["traceback"]

    for rid, function, n in (("ev-chatty", "chatty", lines), ("ev-loud", "loud", 20_000_000)):
        await addin.send({"type": "event_execution", "module_name": "bounds", "function_name": function,
                          "args": [wire("Int", n)], "request_id": rid, "object_name": "Sheet1",
                          "event_type": "onChanged", "object_type": "Worksheet"})
    await wait_until(lambda: len(addin.of_type("event_execution_result")) == 2, 60)
    events = {e["request_id"]: e for e in addin.of_type("event_execution_result")}
    assert events["ev-chatty"]["success"] is True
    assert_cut(events["ev-chatty"]["logs"], "line 0000000\n", f"line {lines - 1:07d}\n")
    assert events["ev-loud"]["success"] is False
    assert_cut(events["ev-loud"]["error"]["message"], "xxxx", "xxxx")


async def test_a_stream_value_or_callable_result_too_large_is_answered_with_its_size(book):
    wb, addin = book
    await addin.send({"type": "streaming_function_execution", "request_id": "s-big", "module_name": "bounds",
                      "function_name": "stream", "args": [wire("Int", LIMIT + 1)]})
    await wait_until(lambda: any(m["done"] for m in addin.stream("s-big")), 60)
    first, end = addin.stream("s-big")
    assert first["result"] == wire("Int", 1) and first["done"] is False
    assert end["done"] is True and end["error"].startswith("MessageTooLarge: Message too large to send")
    assert f"limit of {LIMIT:,}" in end["error"]

    assert (await addin.call("hand_out", wire("Int", LIMIT + 1), module="bounds"))["result"] == wire("String",
                                                                                                    "handed")
    [handed] = addin.handed
    await addin.send({"type": "python_function_call", "callable_id": handed["value"], "args": [],
                      "requestId": "cb-big"})
    await wait_until(lambda: [m for m in addin.of_type("sys_request") if m.get("requestId") == "cb-big"], 60)
    [answer] = [m for m in addin.of_type("sys_request") if m.get("requestId") == "cb-big"]
    assert answer["kind"] == "response" and answer["ok"] is False and answer["result"] is None
    assert too_large(answer["error"]) > LIMIT
