"""What workbook code does never costs its cell, or its neighbours, their answers:
endless streams stop on cancel, endless imports hold up no edit, stdin fails at
once, modules named like libraries run, and heavy output leaves in few frames.
All through the real master and the real kernel program."""
import contextlib
import os
import sys
import time

import pytest

from helpers import wait_until
from servers import free_port, running, scaled
from test_kernel_program_e2e import KERNELS_ON, OfficeBook, new_ide, open_program_book, timed, wire


class Book(OfficeBook):
    """An add-in that indexes what it receives as it comes: streams send many values."""

    def __init__(self, ws, **state):
        super().__init__(ws, **state)
        self.answers = {}
        self.streams = {}
        self.outputs = []

    async def on_message(self, message):
        await super().on_message(message)
        kind = message.get("type")
        if kind == "batch_results":
            self.answers.update((r["request_id"], r) for r in message["results"])
        elif kind == "function_execution_result":
            self.answers[message["request_id"]] = message
        elif kind == "streaming_function_result":
            message["arrived"] = time.time()  # for timings against the kernel's clock
            self.streams.setdefault(message["request_id"], []).append(message)
        elif kind in ("stdout", "stderr"):
            self.outputs.append(message)

    def results(self):
        return self.answers

    def stream(self, rid):
        return self.streams.get(rid, [])


@contextlib.contextmanager
def master_with_open_stdin(home):
    """The host program whose standard input stays open and never ends, as a
    terminal's does when nobody types; yields its port."""
    port = free_port()
    argv = [sys.executable, "-m", "tavrino_master", "--host", "127.0.0.1", "--port", str(port)]
    reader, writer = os.pipe()
    try:
        with running(argv, port, env=dict(HOME=str(home), **KERNELS_ON), stdin=reader):
            os.close(reader)
            reader = None
            yield port
    finally:
        if reader is not None:
            os.close(reader)
        os.close(writer)


@pytest.fixture(scope="module")
def port(tmp_path_factory):
    with master_with_open_stdin(tmp_path_factory.mktemp("home")) as port:
        yield port


async def open_book(port, modules):
    ide = await new_ide(port)
    wb, addin = await open_program_book(port, ide, modules, "wc", book=Book, name="Book1")
    return wb, addin, ide


NEIGHBOURS = "def quick():\n    return 'quick'\n"

ENDLESS = {
    "endless": (
        "def count():\n"
        "    i = 0\n"
        "    while True:\n"
        "        yield i\n"
        "        i += 1\n"
        "\n"
        "async def acount():\n"
        "    i = 0\n"
        "    while True:\n"
        "        yield i\n"
        "        i += 1\n"),
    "neighbours": NEIGHBOURS,
}


async def quick_answers(addin, rounds=3):
    for _ in range(rounds):
        answer, took = await timed(addin.call("quick", module="neighbours", timeout=10))
        assert answer["result"] == wire("String", "quick")
        assert took < scaled(1.0), took


@pytest.mark.parametrize("function", ["count", "acount"])
async def test_a_stream_that_never_pauses_is_cancelled_at_once_and_its_neighbours_are_answered(port, function):
    wb, addin, ide = await open_book(port, ENDLESS)
    await addin.call("quick", module="neighbours", timeout=30)
    rid = "endless-" + function
    await addin.send({"type": "streaming_function_execution", "request_id": rid, "module_name": "endless",
                      "function_name": function, "args": []})
    await wait_until(lambda: len(addin.stream(rid)) > 300, 20)
    await quick_answers(addin)

    await addin.send({"type": "cancel_streaming_function", "request_id": rid})
    _, took = await timed(wait_until(lambda: any(m["done"] for m in addin.stream(rid)), 10))
    assert took < scaled(0.5), took
    *values, end = addin.stream(rid)
    assert end["done"] is True and end.get("cancelled") is True
    counted = [m["result"]["value"] for m in values]
    assert counted[0] == 0 and counted == sorted(set(counted))  # the latest of each moment, in order
    await quick_answers(addin, 1)
    assert len(addin.stream(rid)) == len(values) + 1
    await addin.close()
    await ide.close()


STREAMS = {
    "streams": (
        "import threading, time\n"
        "def burst(n):\n"
        "    for i in range(n):\n"
        "        yield i\n"
        "    yield time.time()\n"
        "SEEN = [-1]\n"
        "SEEN_CHANGED = threading.Condition()\n"
        "def seen(i):\n"
        "    with SEEN_CHANGED:\n"
        "        SEEN[0] = i\n"
        "        SEEN_CHANGED.notify_all()\n"
        "def slow(n):\n"
        "    for i in range(n):\n"
        "        yield i\n"
        "        with SEEN_CHANGED:\n"
        "            assert SEEN_CHANGED.wait_for(lambda: SEEN[0] >= i, 60)\n"),
    "neighbours": NEIGHBOURS,
}


async def test_a_fast_finite_stream_ends_at_once_with_its_last_value(port):
    wb, addin, ide = await open_book(port, STREAMS)
    await quick_answers(addin, 1)
    await addin.send({"type": "streaming_function_execution", "request_id": "burst", "module_name": "streams",
                      "function_name": "burst", "args": [wire("Int", 20_000)]})
    await wait_until(lambda: any(m["done"] for m in addin.stream("burst")), 60)
    *values, end = addin.stream("burst")
    counted = [m["result"]["value"] for m in values[:-1]]
    assert counted[0] == 0 and counted == sorted(set(counted)) and set(counted) <= set(range(20_000))
    assert values[-1]["result"]["type"] == "Float" and end["done"] is True and "error" not in end
    assert len(values) < 20_001  # stale values gave way to newer ones
    after_the_generator = end["arrived"] - values[-1]["result"]["value"]
    print(f"{len(values)} of 20001 values sent; the end arrived {after_the_generator:.3f} s after the generator's")
    assert after_the_generator < scaled(1.0)
    await quick_answers(addin, 1)
    await addin.close()
    await ide.close()


async def test_a_stream_slower_than_the_kernel_sends_has_every_value_arrive_in_order(port):
    wb, addin, ide = await open_book(port, STREAMS)
    await addin.send({"type": "streaming_function_execution", "request_id": "slow", "module_name": "streams",
                      "function_name": "slow", "args": [wire("Int", 50)]})
    for i in range(50):  # each value is yielded only once the one before has arrived
        await wait_until(lambda: len(addin.stream("slow")) > i, 20)
        await addin.call("seen", wire("Int", i), module="streams", timeout=20)
    await wait_until(lambda: any(m["done"] for m in addin.stream("slow")), 20)
    assert [m.get("result", {}).get("value") for m in addin.stream("slow")] == list(range(50)) + [None]
    await addin.close()
    await ide.close()


STUCK = {
    "stuck": "import time\nSTARTED = time.monotonic()\nwhile True:\n    time.sleep(0.02)\n",
    "uses_stuck": "def go():\n    import stuck\n",
    "edited": "def version():\n    return 1\n",
    "neighbours": NEIGHBOURS,
}


async def test_a_module_edit_never_waits_on_an_import_that_does_not_end(port):
    wb, addin, ide = await open_book(port, STUCK)
    await quick_answers(addin, 1)
    # Both roads into an endless top level: the call's own module, and an import inside a call.
    hung = [await addin.start_call("go", module="stuck"), await addin.start_call("go", module="uses_stuck")]
    assert (await addin.call("version", module="edited"))["result"] == wire("Int", 1)
    for version in (2, 3):
        await ide.send({"type": "update_module", "workbook_id": wb, "module_name": "edited",
                        "code": f"def version():\n    return {version}\n"})
        answer, took = await timed(addin.call("version", module="edited", timeout=10))
        assert answer["result"] == wire("Int", version)
        assert took < scaled(1.0), took
        await quick_answers(addin, 1)
    assert not any(rid in addin.results() for rid in hung)
    await addin.close()
    await ide.close()


@pytest.mark.parametrize("top", ["while True:\n    pass\n", "import time\nwhile True:\n    time.sleep(0.02)\n"],
                         ids=["spins", "sleeps"])
async def test_an_edit_of_a_module_whose_import_never_ended_runs_at_the_next_call(port, tmp_path, top):
    began = tmp_path / "began"
    hung = {"hung": f"open({str(began)!r}, 'w').close()\n" + top, "neighbours": NEIGHBOURS}
    wb, addin, ide = await open_book(port, hung)
    await quick_answers(addin, 1)
    first = await addin.start_call("version", module="hung")
    await wait_until(began.exists, 20)
    for version in (2, 3):
        await ide.send({"type": "update_module", "workbook_id": wb, "module_name": "hung",
                        "code": f"def version():\n    return {version}\n"})
        answer, took = await timed(addin.call("version", module="hung", timeout=10))
        assert answer["result"] == wire("Int", version), answer
        assert took < scaled(1.0), took
        print(f"edited module answered in {took:.3f} s")
        await quick_answers(addin, 1)
    assert first not in addin.results()  # the old import runs on
    await addin.close()
    await ide.close()


STDIN = {
    "reads": (
        "import subprocess, sys\n"
        "def ask():\n"
        "    return input('name? ')\n"
        "def read_all():\n"
        "    return sys.stdin.read()\n"
        "def read_line():\n"
        "    return sys.stdin.readline()\n"
        "def child():\n"
        "    return subprocess.run(['cat'], capture_output=True, timeout=30).stdout.decode()\n"),
}


@pytest.mark.parametrize("function", ["ask", "read_all", "read_line"])
async def test_reading_stdin_fails_at_once_although_the_master_s_stdin_stays_open(port, function):
    wb, addin, ide = await open_book(port, STDIN)
    answer, took = await timed(addin.call(function, module="reads", timeout=10))
    assert took < scaled(1.0), took
    assert answer["status"] == "error" and answer["error"]["type"] == "EOFError"
    assert "no standard input" in answer["error"]["message"]
    # A process the workbook's code starts reads no terminal either: its input ends at once.
    assert (await addin.call("child", module="reads", timeout=10))["result"] == wire("String", "")
    await addin.close()
    await ide.close()


LIBRARY_NAMES = ["json", "queue", "random", "string", "calendar", "secrets", "logging"]
NAMED_LIKE_LIBRARIES = dict(
    {name: f"import sys\ndef who():\n    return 'workbook ' + __name__\n" for name in LIBRARY_NAMES},
    uses=(
        "import json, logging, queue\n"
        "def dump():\n"
        "    q = queue.Queue()\n"
        "    q.put(json.dumps({'a': [1]}))\n"
        "    logging.getLogger('uses').debug('quiet')\n"
        "    return q.get()\n"
        "def stream():\n"
        "    yield json.dumps([2])\n"),
    neighbours=NEIGHBOURS,
)


async def test_a_workbook_module_named_like_a_loaded_library_runs_and_the_library_keeps_working(port):
    wb, addin, ide = await open_book(port, NAMED_LIKE_LIBRARIES)
    for name in LIBRARY_NAMES:
        answer = await addin.call("who", module=name, timeout=30)
        assert answer["result"] == wire("String", f"workbook {name}"), answer
    # Imports inside workbook code find what is imported already: the libraries.
    assert (await addin.call("dump", module="uses"))["result"] == wire("String", '{"a": [1]}')
    await addin.send({"type": "streaming_function_execution", "request_id": "lib-s", "module_name": "uses",
                      "function_name": "stream", "args": []})
    await wait_until(lambda: any(m["done"] for m in addin.stream("lib-s")), 10)
    assert addin.stream("lib-s")[0]["result"] == wire("String", "[2]")
    # An edit of such a module is run at the next call.
    await ide.send({"type": "update_module", "workbook_id": wb, "module_name": "json",
                    "code": "def who():\n    return 'edited'\n"})
    assert (await addin.call("who", module="json"))["result"] == wire("String", "edited")
    await quick_answers(addin, 1)
    await addin.close()
    await ide.close()


NOISY = {
    "noisy": (
        "import sys, threading\n"
        "def spam(n):\n"
        "    def run():\n"
        "        for i in range(n):\n"
        "            print('line', i)\n"
        "    threading.Thread(target=run).start()\n"
        "    return 'started'\n"
        "def mixed():\n"
        "    def run():\n"
        "        for i in range(3):\n"
        "            print('out', i)\n"
        "            print('err', i, file=sys.stderr)\n"
        "            sys.stdout.write('more ')\n"
        "            sys.stdout.write('out\\n')\n"
        "    threading.Thread(target=run).start()\n"
        "    return 'started'\n"),
    "neighbours": NEIGHBOURS,
}


def written(outputs):
    """The output as (stream, text) runs, the way a console shows it."""
    runs = []
    for message in outputs:
        if runs and runs[-1][0] == message["type"]:
            runs[-1][1] += message["content"]
        else:
            runs.append([message["type"], message["content"]])
    return runs


async def test_output_of_a_background_thread_leaves_in_few_frames_in_order_and_delays_no_call(port):
    wb, addin, ide = await open_book(port, NOISY)
    await quick_answers(addin, 1)
    lines = 100_000
    assert (await addin.call("spam", wire("Int", lines), module="noisy"))["result"] == wire("String", "started")
    await quick_answers(addin, 2)
    expected = "".join(f"line {i}\n" for i in range(lines))
    await wait_until(lambda: sum(len(m["content"]) for m in addin.outputs) >= len(expected), 30)
    assert written(addin.outputs) == [["stdout", expected]]
    assert len(addin.outputs) < lines // 50, len(addin.outputs)

    addin.outputs.clear()
    await addin.call("mixed", module="noisy")
    want = [item for i in range(3) for item in (["stdout", f"out {i}\n"], ["stderr", f"err {i}\n"],
                                                 ["stdout", "more out\n"])]
    flat = "".join(text for _, text in want)
    await wait_until(lambda: sum(len(m["content"]) for m in addin.outputs) >= len(flat), 10)
    assert written(addin.outputs) == written([{"type": kind, "content": text} for kind, text in want])
    await addin.close()
    await ide.close()
