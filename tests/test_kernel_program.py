"""The kernel program's parts in process: workbook modules, calls, streams, output."""
import io
import json
import sys
import threading

import pytest

from tavrino_master.python_server import kernel as kp
from tavrino_master.python_server import outbox
from helpers import wait_until
from servers import scaled


def wire(tag, value, spec=False):
    return {"type": tag, "value": value, "isSpec": spec}


def test_update_replaces_text_and_importers_see_the_new_one(modules):
    wb = modules(namespace={"INJECTED": 7})
    wb.update("kpt_base", "VALUE = 1\n")
    wb.update("kpt_user", "import kpt_base\ndef get():\n    return kpt_base.VALUE + INJECTED\n")
    assert wb.load("kpt_user").get() == 8
    assert wb.update("kpt_base", "VALUE = 1\n") is False  # same text: nothing reloads
    assert wb.update("kpt_base", "VALUE = 100\n") is True
    assert wb.load("kpt_user").get() == 107


@pytest.mark.parametrize("names", [
    ["kpt_pkg.inner"],  # parent exists only through its child
    ["kpt_pkg", "kpt_pkg.inner"],  # parent has text of its own
])
def test_dotted_modules_import_with_their_parents(modules, names):
    wb = modules()
    for name in names:
        wb.update(name, f"NAME = {name!r}\n")
    assert wb.load("kpt_pkg.inner").NAME == "kpt_pkg.inner"


def test_deleted_module_is_gone_and_errors_point_into_the_module(modules):
    wb = modules()
    wb.update("kpt_gone", "def f():\n    return undefined_name\n")
    with pytest.raises(NameError) as caught:
        wb.load("kpt_gone").f()
    assert "return undefined_name" in "".join(kp.error_record(caught.value)["traceback"])
    wb.delete("kpt_gone")
    with pytest.raises(ModuleNotFoundError):
        wb.load("kpt_gone")


def test_missing_module_is_asked_for_once_from_workbook_code_only(modules):
    asked = []

    def request(name):
        asked.append(name)
        if name == "kpt_late":  # answered from another thread, as the listener would
            threading.Timer(0.05, wb.update, ("kpt_late", "WORD = 'late'\n")).start()

    wb = modules(request_module=request, request_timeout=2.0)
    wb.update("kpt_main", "def go():\n    import kpt_late\n    return kpt_late.WORD\n"
                          "def never():\n    import kpt_nowhere\n")
    assert wb.load("kpt_main").go() == "late"
    for _ in range(2):
        with pytest.raises(ModuleNotFoundError):
            wb.load("kpt_main").never()
    with pytest.raises(ModuleNotFoundError):
        __import__("kpt_outside")  # not imported by workbook code: never asked
    assert asked == ["kpt_late", "kpt_nowhere"]


class Recorder(kp.Kernel):
    """A kernel without a connection: what it would send is kept, as JSON would carry it."""

    def __init__(self):
        super().__init__("wb-unit", 1)
        self.sent = []

    def send(self, message):
        self.sent.append(json.loads(kp.wire_json.dumps(message)))


@pytest.fixture
def kernel(modules, monkeypatch):
    k = Recorder()
    monkeypatch.setattr(k, "modules", modules())
    k.modules.update("kpt_funcs", "\n".join([
        "def add(a, b=0):",
        "    print('adding', a, b)",
        "    return a + b",
        "async def later(x):",
        "    return x * 3",
        "def broken():",
        "    raise ValueError('bad input')",
        "def gen(n):",
        "    yield from range(n)",
        "async def agen(n):",
        "    for i in range(n):",
        "        yield i",
        "def bad_gen():",
        "    yield 1",
        "    raise KeyError('k')",
        "def unencodable():",
        "    return {(1, 2): 'tuple key'}",
        "class Tools:",
        "    @staticmethod",
        "    def name():",
        "        return 'tools'",
    ]) + "\n")
    yield k
    k.pool.shutdown(wait=False)


@pytest.mark.parametrize("function, args, expected, logs", [
    ("add", [wire("Int", 2), wire("Int", 3)], wire("Int", 5), "adding 2 3\n"),
    ("add", [{"arg_type": "PLACED", "value": wire("Int", 1)},
             {"arg_type": "NAMED", "name": "b", "value": wire("Int", 4)}], wire("Int", 5), "adding 1 4\n"),
    ("later", [wire("Int", 2)], wire("Int", 6), ""),
    ("Tools.name", [], wire("String", "tools"), ""),
])
def test_function_call_answers_result_and_logs(kernel, monkeypatch, function, args, expected, logs):
    monkeypatch.setattr(sys, "stdout", kp.OutputRouter(kernel, "stdout", io.StringIO()))
    kernel.run_function_call({"module_name": "kpt_funcs", "function_name": function, "args": args,
                              "request_id": "r1"})
    assert kernel.sent == [{"type": "execution_result", "request_id": "r1", "result": expected, "logs": logs}]


@pytest.mark.parametrize("module, function, error_type, message", [
    ("kpt_funcs", "broken", "ValueError", "bad input"),
    ("kpt_funcs", "absent", "AttributeError", "module 'kpt_funcs' has no attribute 'absent'"),
    ("kpt_nomodule", "f", "ModuleNotFoundError", "No module named 'kpt_nomodule'"),
    ("kpt_funcs", "unencodable", "TypeError", "keys must be str, int, float, bool or None, not tuple"),
])
def test_failed_call_answers_type_message_and_traceback(kernel, module, function, error_type, message):
    kernel.run_function_call({"module_name": module, "function_name": function, "args": [], "request_id": "r2"})
    [answer] = kernel.sent
    assert answer["type"] == "execution_error" and answer["request_id"] == "r2"
    assert answer["error"]["type"] == error_type and answer["error"]["message"] == message
    assert answer["error"]["traceback"].rstrip().endswith(f"{error_type}: {message}")
    assert "kernel.py" not in answer["error"]["traceback"]


@pytest.mark.parametrize("function, args, values, last", [
    ("gen", [wire("Int", 3)], [0, 1, 2], {"done": True}),
    ("agen", [wire("Int", 2)], [0, 1], {"done": True}),
    ("add", [wire("Int", 5)], [5], {"done": True}),
    ("bad_gen", [], [1], {"done": True, "error": "KeyError: 'k'"}),
])
def test_streams_send_each_value_then_done(kernel, function, args, values, last):
    message = {"request_id": "s1", "module_name": "kpt_funcs", "function_name": function, "args": args}
    kernel.on_stream_start(message)
    for thread in threading.enumerate():
        if thread.name == "kernel-stream-s1":
            thread.join(scaled(10))
    *produced, end = kernel.sent
    assert [m["result"]["value"] for m in produced] == values and all(m["done"] is False for m in produced)
    assert {k: end[k] for k in last} == last and "result" not in end


def test_cancel_that_overtakes_its_stream_ends_it_at_once(kernel):
    kernel.on_stream_cancel({"request_id": "s2"})
    kernel.on_stream_start({"request_id": "s2", "module_name": "kpt_funcs", "function_name": "gen",
                            "args": [wire("Int", 100)]})
    for thread in threading.enumerate():
        if thread.name == "kernel-stream-s2":
            thread.join(scaled(10))
    assert kernel.sent == [{"type": "streaming_function_result", "request_id": "s2", "done": True,
                            "cancelled": True}]


def test_callable_call_answers_in_the_response_envelope(kernel):
    callable_id = kp.panticle.messaging.register_callable(lambda x: x + 1)
    try:
        kernel.run_callable({"callable_id": callable_id, "args": [wire("Int", 1)], "request_id": "q1"})
        kernel.run_callable({"callable_id": "pyfunc_unknown", "args": [], "request_id": "q2"})
    finally:
        kp.panticle.messaging.unregister_callable(callable_id)
    ok, missing = kernel.sent
    assert ok == {"kind": "response", "requestId": "q1", "result": wire("Int", 2), "ok": True,
                  "type": "sys_request"}
    assert missing["ok"] is False and missing["requestId"] == "q2" and "pyfunc_unknown" in missing["error"]["message"]


def test_paths_are_added_and_taken_out(kernel, tmp_path, monkeypatch):
    monkeypatch.setattr(sys, "path", list(sys.path))
    one, two = str(tmp_path / "one"), str(tmp_path / "two")
    kernel.dispatch('{"type": "set_python_paths", "old_paths": [], "new_paths": ["%s", "%s"]}' % (one, two))
    assert sys.path[:2] == [one, two]
    kernel.dispatch('{"type": "set_package_paths", "old_paths": ["%s"], "new_paths": []}' % one)
    assert one not in sys.path and two in sys.path
    (tmp_path / "two").mkdir()
    (tmp_path / "two" / "kpt_from_path.py").write_text("X = 1\n")
    __import__("kpt_from_path")
    kernel.dispatch('{"type": "unload_and_clear_paths", "paths": ["%s"]}' % two)
    assert two not in sys.path and "kpt_from_path" not in sys.modules


def test_listener_never_sends_bridge_requests(kernel):
    kernel.listener_ident = threading.get_ident()
    with pytest.raises(RuntimeError):
        kernel.send_request({"method": "GET", "name": "x", "caller": 1, "requestId": "a", "kind": "request"})
    assert kernel.sent == []


class FakeMessaging:
    def __init__(self):
        self.resets = 0

    def on_message(self, message):
        pass

    def reset(self):
        self.resets += 1


async def test_reconnects_after_a_drop_and_gives_up_without_a_master(monkeypatch):
    import asyncio
    import websockets
    from servers import free_port

    monkeypatch.setattr(kp, "RECONNECT_DELAYS", (0.05,))
    monkeypatch.setattr(kp, "GIVE_UP_AFTER", 0.5)
    port = free_port()
    paths = []

    async def serve(ws, path=None):
        paths.append(ws.path)
        if len(paths) == 2:
            await ws.send('{"type": "update_module", "module_name": "kpt_sent", "code": "X = 1"}')
        await ws.close()

    k = kp.Kernel("wb-re", port)
    k.messaging = FakeMessaging()
    async with websockets.serve(serve, "127.0.0.1", port):
        listening = asyncio.create_task(k.listen())
        await wait_until(lambda: len(paths) >= 3, 10)
    await asyncio.wait_for(listening, scaled(10))  # the master stays away: the kernel stops trying
    assert paths[:3] == ["/ws/kernel/wb-re"] * 3
    assert k.modules.names() == ["kpt_sent"]
    assert k.messaging.resets >= 6  # on each connect and each drop
    k.pool.shutdown(wait=False)


@pytest.mark.parametrize("frame, logged", [
    ('{"type": "debug_continue", "workbook_id": "w"}', "Ignored debug_continue: not served by this kernel program"),
    ('{"type": "get_object_registry"}', "Ignored get_object_registry: not served by this kernel program"),
    ('{"type": "something_new"}', "Ignored message of type something_new"),
    ("not json", "Dropped a message that is not JSON"),
])
def test_what_is_not_served_is_logged_and_ignored(kernel, caplog, frame, logged):
    caplog.set_level("INFO", "tavrino.kernel")
    kernel.dispatch(frame)
    assert logged in caplog.messages and kernel.sent == []


def test_a_call_naming_an_unsent_module_asks_for_it_but_not_for_others(modules):
    asked = []

    def request(name):
        asked.append(name)
        wb.update(name, "WHO = 'sent'\n")

    wb = modules(request_module=request)
    assert wb.load("kpt_on_demand").WHO == "sent"
    assert wb.load("json").dumps(1) == "1"  # found in the environment: never asked
    assert asked == ["kpt_on_demand"]


@pytest.mark.parametrize("texts, limit, frames", [
    (['{"a":1}'], 100, ['{"a":1}']),  # alone: not wrapped
    (['{"a":1}', '{"b":2}', '{"c":3}'], 100, ['{"type":"batch","messages":[{"a":1},{"b":2},{"c":3}]}']),
    (['{"a":1}', '{"b":2}', '{"c":3}'], 16, ['{"type":"batch","messages":[{"a":1},{"b":2}]}', '{"c":3}']),
    (['{"a":1}', '{"long":"' + "x" * 40 + '"}', '{"c":3}'], 16,
     ['{"a":1}', '{"long":"' + "x" * 40 + '"}', '{"c":3}']),  # too long for any batch: goes alone
    ([], 100, []),
    # texts whose order counts are never packed: the master handles a batch's messages at once
    (['{"a":1}', outbox.Alone('{"s":1}'), outbox.Alone('{"s":2}'), '{"b":2}', '{"c":3}'], 100,
     ['{"a":1}', '{"s":1}', '{"s":2}', '{"type":"batch","messages":[{"b":2},{"c":3}]}']),
])
def test_texts_waiting_together_leave_in_order_as_batches(texts, limit, frames):
    packed = outbox.pack(texts, limit)
    assert packed == frames
    unpacked = [m for f in map(json.loads, packed) for m in (f["messages"] if f.get("type") == "batch" else [f])]
    assert unpacked == [json.loads(t) for t in texts]


class Socket:
    def __init__(self, released):
        self.frames = []
        self.released = released  # what was released when each frame left

    async def send(self, frame):
        self.frames.append((frame, list(self.released)))


async def test_outbox_sends_every_thread_s_texts_in_order_and_releases_after_them():
    import asyncio

    released = []
    socket = Socket(released)

    async def current():
        return socket

    box = outbox.Outbox(current, 1.0)
    box.attach(asyncio.get_running_loop())

    class Proxy:
        def __init__(self, n):
            self.n = n

        def __del__(self):
            released.append(self.n)

    def worker(w):
        for i in range(200):
            box.put([json.dumps({"w": w, "i": i})])
        held = [Proxy(w)]
        box.put_release(held)
        del held  # the outbox's own reference is the last one

    threads = [threading.Thread(target=worker, args=(w,)) for w in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(scaled(10))
    await wait_until(lambda: len(released) == 4)
    sent = [(m, at) for frame, at in socket.frames
            for m in (json.loads(frame).get("messages") or [json.loads(frame)])]
    for w in range(4):
        mine = [(m["i"], at) for m, at in sent if m["w"] == w]
        assert [i for i, _ in mine] == list(range(200))
        assert all(w not in at for _, at in mine)  # released only after every answer it followed
    assert sorted(released) == [0, 1, 2, 3]
    assert len(socket.frames) < 800  # texts that waited together left together


async def test_a_producer_faster_than_the_connection_waits_for_room():
    import asyncio

    gate = asyncio.Event()
    frames = []

    class SlowSocket:
        async def send(self, frame):
            await gate.wait()
            frames.append(frame)

    async def current():
        return SlowSocket()

    box = outbox.Outbox(current, 1.0, queue_limit=5000)
    box.attach(asyncio.get_running_loop())
    put = []

    def produce():  # an endless generator's worker, cut at 50 values
        for i in range(50):
            box.put([json.dumps({"i": i, "pad": "x" * 990})])
            put.append(i)

    worker = threading.Thread(target=produce)
    worker.start()
    await wait_until(lambda: box._queued > 5000)
    await asyncio.sleep(0.2)  # a worker that is held back stays held back
    assert len(put) < 50 and box._queued <= 5000 + 1010
    gate.set()
    await wait_until(lambda: not worker.is_alive())
    await wait_until(lambda: not box._draining)
    sent = [m["i"] for f in frames for m in (json.loads(f).get("messages") or [json.loads(f)])]
    assert sent == list(range(50))


def test_a_workbook_module_wins_and_other_names_go_to_the_usual_finders_first(modules, tmp_path, monkeypatch):
    (tmp_path / "kpt_shadowed.py").write_text("WHO = 'installed'\n")
    (tmp_path / "kpt_on_path.py").write_text("WHO = 'path'\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    asked = []
    wb = modules(request_module=asked.append, request_timeout=0.1)
    wb.update("kpt_shadowed", "WHO = 'workbook'\n")
    wb.update("kpt_user", "import kpt_shadowed, kpt_on_path\ndef who():\n"
                          "    return kpt_shadowed.WHO, kpt_on_path.WHO\n")
    try:
        assert wb.load("kpt_user").who() == ("workbook", "path")
        assert asked == []
    finally:
        sys.modules.pop("kpt_on_path", None)


def test_waiting_for_the_master_holds_up_no_other_load(modules):
    asking, answer = threading.Event(), threading.Event()

    def request(name):
        asking.set()

    wb = modules(request_module=request, request_timeout=10)
    wb.update("kpt_waits", "import kpt_from_master\n")
    wb.update("kpt_free", "VALUE = 'free'\n")
    outcome = []

    def load_waiting():
        try:
            outcome.append(wb.load("kpt_waits").kpt_from_master.WORD)
        except Exception as exc:
            outcome.append(exc)
        answer.set()

    threading.Thread(target=load_waiting, daemon=True).start()
    assert asking.wait(scaled(10))
    assert wb.load("kpt_free").VALUE == "free"  # while the other load still waits
    assert not answer.is_set(), outcome
    wb.update("kpt_from_master", "WORD = 'came'\n")
    assert answer.wait(scaled(10)) and outcome == ["came"]


@pytest.mark.parametrize("raised", [SystemExit(3), KeyboardInterrupt()])
def test_calls_and_callables_answer_what_ends_a_program(kernel, raised):
    def boom(*args):
        raise raised

    kernel.modules.update("kpt_ending", "def boom():\n    raise BOOM\n")
    kernel.modules._namespace["BOOM"] = raised
    callable_id = kp.panticle.messaging.register_callable(boom)
    try:
        kernel.run_function_call({"module_name": "kpt_ending", "function_name": "boom", "request_id": "e1"})
        kernel.run_event({"module_name": "kpt_ending", "function_name": "boom", "request_id": "e2"})
        kernel.run_callable({"callable_id": callable_id, "args": [], "request_id": "e3"})
    finally:
        kp.panticle.messaging.unregister_callable(callable_id)
    call, event, answer = kernel.sent
    name = type(raised).__name__
    assert call["type"] == "execution_error" and call["error"]["type"] == name
    assert event["success"] is False and event["error"]["type"] == name
    assert answer["ok"] is False and answer["error"]["type"] == name
