"""The real kernel program under the real master, with WebSocket clients playing
the add-in and the IDE: every road of a workbook through real processes."""
import asyncio
import uuid

import pytest

from e2e_clients import Book, Client, connections, kernel_processes, master
from helpers import wait_until
from servers import scaled

KERNELS_ON = {"TAVRINO_KERNEL_STANDBY": "0"}


def wire(tag, value, spec=False):
    return {"type": tag, "value": value, "isSpec": spec}


MODULES = {
    "calc": (
        "import helper\n"
        "\n"
        "def double(x):\n"
        "    print('doubling', x)\n"
        "    return helper.twice(x)\n"
        "\n"
        "def fail():\n"
        "    return 1 / 0\n"
        "\n"
        "def stream(n):\n"
        "    for i in range(n):\n"
        "        yield i * 10\n"
        "\n"
        "async def forever():\n"
        "    import asyncio\n"
        "    i = 0\n"
        "    while True:\n"
        "        await asyncio.sleep(0.02)\n"
        "        yield i\n"
        "        i += 1\n"
        "\n"
        "def on_change(address):\n"
        "    print('changed', address)\n"
        "\n"
        "def book_name():\n"
        "    return Context.workbook.name\n"
        "\n"
        "def hand_out():\n"
        "    Excel.onCall(lambda x: x * 2)\n"
        "    return 'handed'\n"),
    "helper": "def twice(x):\n    return 2 * x\n",
    "main": "def go():\n    import late\n    print('late says', late.WORD)\n",
}

# What the add-in's Office.js side holds: remote objects by (caller, attribute).
REMOTE = {
    (0, "workbook"): wire("Workbook", 10, True),
    (10, "name"): wire("String", "Book1"),
    (1, "onCall"): wire("Function", 11, True),
}


class OfficeBook(Book):
    """An add-in that stores modules and also answers the kernel's Office.js requests."""

    def __init__(self, ws, **state):
        super().__init__(ws, **state)
        self.handed = []

    async def on_message(self, message):
        await super().on_message(message)
        if message.get("type") == "sys_request" and message.get("kind") == "request":
            await self.send(dict(self.office(message), type="excel_response", requestId=message["requestId"]))

    def office(self, request):
        method, caller = request.get("method"), request.get("caller")
        if method == "GET" and (caller, request.get("name")) in REMOTE:
            return {"ok": True, "result": REMOTE[(caller, request["name"])]}
        if method == "CALL" and caller == 11:
            self.handed.append(request["args"][0]["value"])
            return {"ok": True, "result": wire("Null", None)}
        if method == "DEL":
            return {"ok": True, "result": wire("Null", None)}
        return {"ok": False, "error": {"message": f"no {method} {request.get('name')} on {caller}"}}

    def results(self):
        """Kernel-outcome results by request id, alone or batched."""
        found = {}
        for message in self.received:
            if message.get("type") == "batch_results":
                found.update((r["request_id"], r) for r in message["results"])
            elif message.get("type") == "function_execution_result":
                found[message["request_id"]] = message
        return found

    def stream(self, rid):
        return [m for m in self.of_type("streaming_function_result") if m.get("request_id") == rid]

    def released(self):
        return [m["caller"] for m in self.of_type("sys_request") if m.get("method") == "DEL"]

    async def start_call(self, function_name, *args, module="calc"):
        rid = uuid.uuid4().hex
        await self.send({"type": "function_execution", "module_name": module, "function_name": function_name,
                         "args": list(args), "request_id": rid})
        return rid

    async def call(self, function_name, *args, rid=None, timeout=10, module="calc"):
        rid = rid or uuid.uuid4().hex
        await self.send({"type": "function_execution", "module_name": module, "function_name": function_name,
                         "args": list(args), "request_id": rid})
        await wait_until(lambda: rid in self.results(), timeout)
        return self.results()[rid]


async def open_workbook(port, ide, name="Book1", modules=MODULES, **state):
    """A new workbook's add-in whose real kernel has connected and received its modules."""
    wb = "kp-" + uuid.uuid4().hex[:12]
    console = len(ide.of_type("log_to_console"))
    addin = await OfficeBook.connect(port, wb, name=name, modules=dict(modules), **state)
    await wait_until(lambda: wb in connections(port).get("kernel", []), 30)
    await ide.wait_for("log_to_console", console + 1, timeout=20)  # the kernel's connect work has ended
    return wb, addin


@pytest.fixture(scope="module")
def port(tmp_path_factory):
    with master(tmp_path_factory.mktemp("home"), env=KERNELS_ON) as port:
        yield port


async def test_every_call_road_through_the_kernel_program(port):
    ide = await Client.connect(port, "ide", "ide-" + uuid.uuid4().hex[:8])
    await ide.wait_for("workbook_list", timeout=10)
    wb, addin = await open_workbook(port, ide)

    first = await addin.call("double", wire("Int", 3), timeout=30)
    assert first["status"] == "success" and first["result"] == wire("Int", 6)
    assert first["logs"] == "doubling 3\n"

    rids = [f"many-{i}" for i in range(200)]
    for i, rid in enumerate(rids):
        await addin.send({"type": "function_execution", "module_name": "calc", "function_name": "double",
                          "args": [wire("Int", i)], "request_id": rid})
    await wait_until(lambda: all(r in addin.results() for r in rids), 60)
    assert [addin.results()[r]["result"]["value"] for r in rids] == [2 * i for i in range(200)]
    assert addin.of_type("batch_results")

    failed = await addin.call("fail")
    assert failed["status"] == "error"
    assert failed["error"]["type"] == "ZeroDivisionError" and failed["error"]["message"] == "division by zero"
    assert "return 1 / 0" in failed["error"]["traceback"] and "kernel.py" not in failed["error"]["traceback"]

    await addin.send({"type": "event_execution", "module_name": "calc", "function_name": "on_change",
                      "args": [wire("String", "A1")], "request_id": "ev-1", "object_name": "Sheet1",
                      "event_type": "onChanged", "object_type": "Worksheet"})
    for client in (addin, ide):
        [event] = await client.wait_for("event_execution_result", timeout=10)
        assert event["request_id"] == "ev-1" and event["success"] is True and event["logs"] == "changed A1\n"

    await addin.send({"type": "streaming_function_execution", "request_id": "s-1", "module_name": "calc",
                      "function_name": "stream", "args": [wire("Int", 3)]})
    await wait_until(lambda: any(m["done"] for m in addin.stream("s-1")), 10)
    *values, end = addin.stream("s-1")
    # The first and the last value always arrive; the one between may give way to the last.
    assert [m["result"] for m in values] in ([wire("Int", 0), wire("Int", 10), wire("Int", 20)],
                                             [wire("Int", 0), wire("Int", 20)])
    assert [m["done"] for m in values] == [False] * len(values) and end["done"] is True and "result" not in end

    await addin.send({"type": "streaming_function_execution", "request_id": "s-2", "module_name": "calc",
                      "function_name": "forever", "args": []})
    await wait_until(lambda: addin.stream("s-2"), 10)
    await addin.send({"type": "cancel_streaming_function", "request_id": "s-2"})
    await wait_until(lambda: any(m["done"] for m in addin.stream("s-2")), 10)
    ended = len(addin.stream("s-2"))
    await asyncio.sleep(0.2)
    assert len(addin.stream("s-2")) == ended and addin.stream("s-2")[-1]["done"] is True

    assert (await addin.call("book_name"))["result"] == wire("String", "Book1")

    assert (await addin.call("hand_out"))["result"] == wire("String", "handed")
    [handed] = addin.handed
    assert handed["type"] == "Python_Function" and handed["value"].startswith("pyfunc_")
    await addin.send({"type": "python_function_call", "callable_id": handed["value"], "args": [wire("Int", 21)],
                      "requestId": "cb-1"})
    await wait_until(lambda: [m for m in addin.of_type("sys_request") if m.get("requestId") == "cb-1"], 10)
    [answer] = [m for m in addin.of_type("sys_request") if m.get("requestId") == "cb-1"]
    assert answer["kind"] == "response" and answer["ok"] is True and answer["result"] == wire("Int", 42)

    # An IDE edit of a module that another one imports: the next call runs the new text.
    await ide.send({"type": "update_module", "workbook_id": wb, "module_name": "helper",
                    "code": "def twice(x):\n    return 3 * x\n"})
    assert (await addin.call("double", wire("Int", 5)))["result"] == wire("Int", 15)

    # A module saved to the cache only: the kernel asks for it when code imports it.
    await ide.send({"type": "save_module", "workbook_id": wb, "module_name": "late", "code": "WORD = 'hello'\n"})
    await ide.wait_for("module_saved", timeout=10)
    await ide.send({"type": "run_module", "workbook_id": wb, "module_name": "main", "function_name": "go"})
    await wait_until(lambda: "late says hello\n" in "".join(m.get("content", "") for m in ide.of_type("stdout")),
                     15)

    await addin.close()
    await wait_until(lambda: not kernel_processes(wb), 15)
    await ide.close()


async def test_restart_disconnect_and_shutdown_leave_no_kernel(tmp_path):
    ide_id = "ide-" + uuid.uuid4().hex[:8]
    with master(tmp_path, env=KERNELS_ON) as port:
        ide = await Client.connect(port, "ide", ide_id)
        await ide.wait_for("workbook_list", timeout=10)
        wb, addin = await open_workbook(port, ide)
        assert (await addin.call("double", wire("Int", 2), timeout=30))["result"] == wire("Int", 4)
        [before] = kernel_processes(wb)

        await addin.send({"type": "kill_kernel"})
        await addin.wait_for("kill_kernel_response", timeout=15)
        await wait_until(lambda: len(kernel_processes(wb)) == 1 and kernel_processes(wb) != [before], 15)
        await wait_until(lambda: wb in connections(port).get("kernel", []), 30)
        assert (await addin.call("double", wire("Int", 4), timeout=30))["result"] == wire("Int", 8)

        await ide.send({"type": "spawn_kernel"})
        await wait_until(lambda: ide_id in connections(port).get("kernel", []), 30)
        assert len(kernel_processes(ide_id)) == 1

        await addin.close()
        await wait_until(lambda: not kernel_processes(wb), 15)

        other, second = await open_workbook(port, ide, name="Book2")
        assert (await second.call("double", wire("Int", 1), timeout=30))["result"] == wire("Int", 2)
    # The master is gone: so is every kernel, the IDE's included.
    await wait_until(lambda: not kernel_processes(ide_id) and not kernel_processes(other), 15)
    for client in (ide, second):  # their connections' ends are done here, not in whatever test runs next
        await client.close()


async def test_a_kernel_that_never_connects_still_ends_with_its_master(tmp_path):
    """Standby kernels (the default under these tests) watch their master too."""
    ide_id = "ide-" + uuid.uuid4().hex[:8]
    with master(tmp_path) as port:
        ide = await Client.connect(port, "ide", ide_id)
        await ide.wait_for("workbook_list", timeout=10)
        await ide.send({"type": "spawn_kernel"})
        await wait_until(lambda: kernel_processes(ide_id), 10)
    await wait_until(lambda: not kernel_processes(ide_id), 10)
    await ide.close()


async def new_ide(port):
    ide = await Client.connect(port, "ide", "ide-" + uuid.uuid4().hex[:8])
    await ide.wait_for("workbook_list", timeout=10)
    return ide


async def open_program_book(port, ide, modules, prefix, book=OfficeBook, **state):
    """An add-in of a new workbook whose real kernel program has connected and ended its connect work."""
    wb = prefix + "-" + uuid.uuid4().hex[:12]
    console = len(ide.of_type("log_to_console"))
    addin = await book.connect(port, wb, modules=dict(modules), **state)
    await wait_until(lambda: wb in connections(port).get("kernel", []), 30)
    await ide.wait_for("log_to_console", console + 1, timeout=20)  # the kernel's connect work has ended
    return wb, addin


async def timed(coro):
    loop = asyncio.get_running_loop()
    started = loop.time()
    value = await coro
    return value, loop.time() - started


IMPORTS = {"imports": (
    "def stdlib():\n"
    "    import wave\n"
    "    return wave.__name__\n"
    "def on_path():\n"
    "    import kp_on_path\n"
    "    return kp_on_path.WORD\n"
    "def unknown():\n"
    "    import nomod\n"
    "def quick():\n"
    "    return 'quick'\n"
    "def asked():\n"  # the names the kernel has asked the master for
    "    import sys\n"
    "    return ','.join(sorted(n for f in sys.meta_path for n in getattr(f, '_asked', ())))\n"),
    # loaded only while another import waits for the master
    "imports_later": "def fresh():\n    import colorsys\n    return colorsys.__name__\n"}


async def test_imports_from_workbook_code_cost_a_plain_import_and_unknown_names_hold_up_nothing(port, tmp_path):
    (tmp_path / "kp_on_path.py").write_text("WORD = 'from the python path'\n")
    ide = await new_ide(port)
    wb, addin = await open_workbook(port, ide, modules=IMPORTS, python_paths=[str(tmp_path)])
    await addin.call("quick", module="imports", timeout=30)  # the module itself is loaded

    for function, expected in (("stdlib", "wave"), ("on_path", "from the python path")):
        answer = await addin.call(function, module="imports")
        assert answer["result"] == wire("String", expected), function
    # Found by the usual finders: the master was never asked, so no import waited for it.
    assert (await addin.call("asked", module="imports"))["result"] == wire("String", "")

    unknown = await addin.start_call("unknown", module="imports")
    quick = [await addin.start_call("quick", module="imports"),
             await addin.start_call("fresh", module="imports_later")]
    await wait_until(lambda: all(r in addin.results() for r in quick), 10)
    # The unknown name waits the kernel's 2 s for the master; the calls made after it did not.
    assert unknown not in addin.results() and addin.results()[quick[1]]["result"] == wire("String", "colorsys")
    await wait_until(lambda: unknown in addin.results(), 10)
    failed = addin.results()[unknown]
    assert failed["status"] == "error" and failed["error"]["type"] == "ModuleNotFoundError"
    assert "import nomod" in failed["error"]["traceback"]
    assert (await addin.call("asked", module="imports"))["result"] == wire("String", "nomod")
    await addin.close()
    await ide.close()


def raising(kind):
    return {"raising": (
        f"def boom(*args):\n    raise {kind}('boom')\n"
        "def stream():\n    yield 1\n    boom()\n"
        "def hand_out():\n    Excel.onCall(boom)\n    return 'handed'\n"
        "def fine():\n    return 'still here'\n")}


@pytest.mark.parametrize("kind", ["SystemExit", "KeyboardInterrupt"])
async def test_what_ends_a_program_is_answered_as_an_error_on_every_road(port, kind):
    ide = await new_ide(port)
    wb, addin = await open_workbook(port, ide, modules=raising(kind))

    failed = await addin.call("boom", module="raising", timeout=30)
    assert failed["status"] == "error" and failed["error"]["type"] == kind and failed["error"]["message"] == "boom"

    await addin.send({"type": "event_execution", "module_name": "raising", "function_name": "boom", "args": [],
                      "request_id": "ev-x", "object_name": "Sheet1", "event_type": "onChanged",
                      "object_type": "Worksheet"})
    [event] = await addin.wait_for("event_execution_result", timeout=10)
    assert event["success"] is False and event["error"]["type"] == kind

    await addin.send({"type": "streaming_function_execution", "request_id": "s-x", "module_name": "raising",
                      "function_name": "stream", "args": []})
    await wait_until(lambda: any(m["done"] for m in addin.stream("s-x")), 10)
    value, end = addin.stream("s-x")
    assert value["result"] == wire("Int", 1) and value["done"] is False
    assert end["done"] is True and end["error"] == f"{kind}: boom"

    assert (await addin.call("hand_out", module="raising"))["result"] == wire("String", "handed")
    [handed] = addin.handed
    await addin.send({"type": "python_function_call", "callable_id": handed["value"], "args": [],
                      "requestId": "cb-x"})
    await wait_until(lambda: [m for m in addin.of_type("sys_request") if m.get("requestId") == "cb-x"], 10)
    [answer] = [m for m in addin.of_type("sys_request") if m.get("requestId") == "cb-x"]
    assert answer["kind"] == "response" and answer["ok"] is False and answer["error"]["type"] == kind

    await ide.send({"type": "run_module", "workbook_id": wb, "module_name": "raising", "function_name": "boom"})
    await wait_until(lambda: f"{kind}: boom" in "".join(m.get("content", "") for m in ide.of_type("stderr")), 10)

    assert (await addin.call("fine", module="raising"))["result"] == wire("String", "still here")
    assert len(kernel_processes(wb)) == 1
    await addin.close()
    await ide.close()


RANGES = {"ranges": "def total(rows):\n    return sum(sum(row) for row in rows)\n"}


async def test_a_large_range_argument_is_answered_before_its_rows_are_released(port):
    ide = await new_ide(port)
    wb, addin = await open_workbook(port, ide, modules=RANGES)
    small = {"type": "Array", "value": [], "isSpec": False, "id": 1}
    assert (await addin.call("total", small, module="ranges", timeout=30))["result"] == wire("Int", 0)
    await wait_until(lambda: addin.released() == [1], 10)

    rows = [{"type": "Array", "value": [wire("Int", c) for c in range(10)], "isSpec": False, "id": 1000 + r}
            for r in range(5000)]
    table = {"type": "Array", "value": rows, "isSpec": False, "id": 999}
    answer, took = await timed(addin.call("total", table, module="ranges"))
    assert answer["result"] == wire("Int", 5000 * 45)
    assert took < scaled(1.0), took
    await wait_until(lambda: len(addin.released()) >= 5002, 10)
    assert sorted(addin.released()) == [1, 999] + list(range(1000, 6000))
    await addin.close()
    await ide.close()


async def test_stream_values_keep_their_order_when_sent_together(port):
    ide = await new_ide(port)
    wb, addin = await open_workbook(port, ide)
    for rid in ("o-1", "o-2"):
        await addin.send({"type": "streaming_function_execution", "request_id": rid, "module_name": "calc",
                          "function_name": "stream", "args": [wire("Int", 300)]})
    for rid in ("o-1", "o-2"):
        await wait_until(lambda: any(m["done"] for m in addin.stream(rid)), 20)
        *values, end = [m.get("result", {}).get("value") for m in addin.stream(rid)]
        # Values yielded faster than they are sent give way to newer ones; the first and the last stay.
        assert values[0] == 0 and values[-1] == 2990 and values == sorted(set(values)) and end is None
        assert set(values) <= set(range(0, 3000, 10))
    await addin.close()
    await ide.close()
