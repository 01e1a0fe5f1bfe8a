"""The kernel bridge's request messaging: envelopes, waiting for answers, timeouts and threads."""
import concurrent.futures
import re
import subprocess
import sys
import threading
import time

import pytest

from helpers import eventually
from servers import ROOT, scaled
from tavrino_master.python_server.tavrino import panticle

messaging = panticle.messaging


pytestmark = pytest.mark.usefixtures("clean_messaging")


def answer(env, **fields):
    return {"type": "excel_response", "requestId": env["requestId"], **fields}


def inline(**fields):
    """A handler that answers inside the send, on the caller's thread."""
    sent = []

    def handler(env):
        sent.append(env)
        messaging.on_message(answer(env, **fields))

    handler.sent = sent
    return handler


def test_import_sends_nothing_starts_no_thread_and_runs_once():
    code = (
        "import threading, importlib, sys\n"
        "from tavrino_master.python_server.tavrino import panticle as p\n"
        "assert threading.active_count() == 1, threading.enumerate()\n"
        "try:\n"
        "    p.Excel.Workbook\n"
        "except RuntimeError as e:\n"
        "    assert str(e) == 'No send handler registered', e\n"
        "else:\n"
        "    raise AssertionError('no error')\n"
        "m = p.messaging\n"
        "del sys.modules['tavrino_master.python_server.tavrino.panticle']\n"
        "q = importlib.import_module('tavrino_master.python_server.tavrino.panticle')\n"
        "assert q.messaging is m and q is p\n"
        "names = [n for n in vars(p) if not n.startswith('__')]\n"
        "print(names)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True, text=True, timeout=scaled(120))
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == str([
        "base64", "concurrent", "dt", "threading", "uuid", "pd", "np", "Any", "Dict", "Serializer",
        "Messaging", "_cw__getattr__", "_cw__getitem__", "_cw__setattr__", "_cw__call__", "_cw__del__",
        "_internal_officejs_names", "OfficeJsObject", "OfficeJsArray", "OfficeJsDict", "messaging",
        "Context", "Excel", "GetSetting", "MAX_MESSAGE_CHARACTERS", "MAX_FRAME_DEPTH", "_json_depth"])


def test_messaging_state_is_observable():
    assert list(vars(messaging)) == ["waiters", "_waiters_lock", "_guid", "_send_handler", "loop",
                                     "loop_thread", "_callable_registry", "_callable_lock", "_next_callable_id"]
    assert type(messaging._waiters_lock) is type(threading.Lock())
    assert type(messaging._callable_lock) is type(threading.Lock())
    assert re.fullmatch("[0-9a-f]{32}", messaging._guid)


def test_envelope_keys_order_and_synchronous_answer():
    handler = inline(ok=True, result={"type": "Null"})
    messaging.set_send_handler(handler)
    req = {"method": "GET", "name": "x", "caller": 1}
    got = messaging.send_request_sync(req)
    (env,) = handler.sent
    assert list(env) == ["method", "name", "caller", "requestId", "kind"]
    assert re.fullmatch("[0-9a-f]{32}", env["requestId"]) and env["kind"] == "request"
    assert req == {"method": "GET", "name": "x", "caller": 1}
    assert got == {"type": "excel_response", "requestId": env["requestId"], "ok": True,
                   "result": {"type": "Null"}}
    assert messaging.waiters == {}


def test_caller_request_id_and_kind_keep_place_take_new_values():
    handler = inline(ok=True)
    messaging.set_send_handler(handler)
    req = {"kind": "mine", "a": 1, "requestId": "old"}
    messaging.send_request_sync(req)
    env = handler.sent[0]
    assert list(env) == ["kind", "a", "requestId"]
    assert env["kind"] == "request" and env["requestId"] != "old"
    assert req == {"kind": "mine", "a": 1, "requestId": "old"}


@pytest.mark.parametrize("timeout", [0, -1, 0.05])
def test_timeout_removes_waiter_and_late_answer_is_dropped(timeout):
    sent = []
    messaging.set_send_handler(sent.append)
    with pytest.raises(TimeoutError, match="^Timed out waiting for Office.js response$"):
        messaging.send_request_sync({"a": 1}, timeout)
    assert messaging.waiters == {}
    messaging.on_message(answer(sent[0], ok=True))  # dropped, no error


@pytest.mark.parametrize("timeout", [1e10, 2.0**64, float("inf")])
def test_timeout_beyond_what_a_lock_can_wait_waits_for_the_answer(timeout):
    def handler(env):
        threading.Timer(0.05, messaging.on_message, [answer(env, ok=True, n=2)]).start()

    messaging.set_send_handler(handler)
    assert messaging.send_request_sync({}, timeout)["n"] == 2
    assert messaging.waiters == {}


def test_time_in_handler_does_not_count():
    timeout = scaled(0.25)  # room for the late answer's timer on a busy machine

    def handler(env):
        time.sleep(timeout + 0.05)
        threading.Timer(0.05, messaging.on_message, [answer(env, ok=True, n=1)]).start()

    messaging.set_send_handler(handler)
    assert messaging.send_request_sync({}, timeout)["n"] == 1


@pytest.mark.parametrize("fields, text", [
    ({"ok": False}, "Remote error"),
    ({}, "Remote error"),
    ({"ok": None, "error": {}}, "Remote error"),
    ({"ok": 0, "error": {"message": "bad range"}}, "bad range"),
    ({"ok": "", "error": {"message": ""}}, ""),
    ({"ok": False, "error": "not a mapping"}, "Remote error"),
])
def test_failed_answers_raise_runtime_error(fields, text):
    messaging.set_send_handler(inline(**fields))
    with pytest.raises(RuntimeError) as info:
        messaging.send_request_sync({})
    assert type(info.value) is RuntimeError and str(info.value) == text
    assert messaging.waiters == {}


@pytest.mark.parametrize("ok", [True, 1, "yes"])
def test_truthy_ok_returns_the_answer_object(ok):
    seen = []

    def handler(env):
        msg = answer(env, ok=ok)
        seen.append(msg)
        messaging.on_message(msg)

    messaging.set_send_handler(handler)
    assert messaging.send_request_sync({}) is seen[0]


def test_handler_errors():
    def times_out(env):
        raise TimeoutError("socket")

    messaging.set_send_handler(times_out)
    with pytest.raises(TimeoutError, match="^Timed out waiting for Office.js response$"):
        messaging.send_request_sync({})
    assert messaging.waiters == {}

    boom = ValueError("no socket")

    def fails(env):
        raise boom

    messaging.set_send_handler(fails)
    with pytest.raises(ValueError) as info:
        messaging.send_request_sync({})
    assert info.value is boom and messaging.waiters == {}


def test_interrupt_passes_through_and_waiter_stays():
    def interrupted(env):
        raise KeyboardInterrupt

    messaging.set_send_handler(interrupted)
    with pytest.raises(KeyboardInterrupt):
        messaging.send_request_sync({})
    assert len(messaging.waiters) == 1
    messaging.reset()
    assert messaging.waiters == {}


@pytest.mark.parametrize("args, arg", [
    ((type("D", (dict,), {})(),), "req"),
    (([],), "req"),
    (({}, None), None),
    (({}, "1"), None),
])
def test_argument_types_refused_before_sending(args, arg):
    sent = []
    messaging.set_send_handler(sent.append)
    with pytest.raises(TypeError) as info:
        messaging.send_request_sync(*args)
    if arg:
        assert f"'{arg}'" in str(info.value)
    assert sent == [] and messaging.waiters == {}
    with pytest.raises(TypeError, match="'message'"):
        messaging.on_message([])


@pytest.mark.parametrize("handler", [None, 0, ""])
def test_missing_handler(handler):
    messaging.set_send_handler(handler)
    with pytest.raises(RuntimeError, match="^No send handler registered$"):
        messaging.send_request_sync({})
    assert messaging.waiters == {}


def test_on_message_drops_unknown_falsy_and_repeated_answers():
    sent = []
    messaging.set_send_handler(sent.append)
    results = []
    t = threading.Thread(target=lambda: results.append(messaging.send_request_sync({}, 5)))
    t.start()
    assert eventually(lambda: sent)
    for msg in ({"ok": True}, {"requestId": "", "ok": True}, {"requestId": None, "ok": True},
                {"requestId": "f" * 32, "ok": True}):
        messaging.on_message(msg)
    assert len(messaging.waiters) == 1
    first = answer(sent[0], ok=True, n=1)
    messaging.on_message(first)
    messaging.on_message(answer(sent[0], ok=True, n=2))
    t.join()
    assert results == [first]


def test_reset_cancels_waiting_threads_and_restamps_every_root():
    sent = []
    messaging.set_send_handler(sent.append)
    errors = []

    def send():
        try:
            messaging.send_request_sync({}, scaled(30))
        except BaseException as e:  # noqa: B902 - record whatever ends the wait
            errors.append(e)

    threads = [threading.Thread(target=send) for _ in range(3)]
    for t in threads:
        t.start()
    assert eventually(lambda: len(messaging.waiters) == 3)
    old = messaging._guid
    start = time.monotonic()
    messaging.reset()
    for t in threads:
        t.join(scaled(10))
    assert time.monotonic() - start < scaled(5)  # the reset ended the waits, not their time-out
    assert len(errors) == 3 and all(type(e) is concurrent.futures.CancelledError for e in errors)
    assert messaging.waiters == {} and messaging._guid != old
    for env in sent:
        messaging.on_message(answer(env, ok=True))  # late answers are dropped
    for root in (panticle.Context, panticle.Excel, panticle.GetSetting):
        assert root._msg_guid == messaging._guid
    assert messaging._send_handler == sent.append


def test_concurrent_senders_each_receive_their_own_answer():
    inbox = []
    cond = threading.Condition()

    def handler(env):
        with cond:
            inbox.append(env)
            cond.notify()

    stop = object()

    def listener():
        # Answers in batches, newest first, to mix up the order.
        while True:
            with cond:
                cond.wait_for(lambda: inbox)
                batch = inbox[:]
                inbox.clear()
            for env in reversed(batch):
                if env is stop:
                    return
                messaging.on_message(answer(env, ok=True, echo=env["tag"]))

    messaging.set_send_handler(handler)
    lt = threading.Thread(target=listener)
    lt.start()
    mismatches = []

    def worker(n):
        for i in range(40):
            tag = f"{n}-{i}"
            if messaging.send_request_sync({"tag": tag})["echo"] != tag:
                mismatches.append(tag)

    workers = [threading.Thread(target=worker, args=(n,)) for n in range(12)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    with cond:
        inbox.append(stop)
        cond.notify()
    lt.join()
    assert mismatches == [] and messaging.waiters == {}


def test_callable_ids_and_registry():
    def f():
        return 42

    prefix = "pyfunc_" + messaging._guid[:8] + "_"
    a = messaging.register_callable(f)
    b = messaging.register_callable(f)
    assert (a, b) == (prefix + "1", prefix + "2")
    assert messaging.get_callable(a) is f and messaging.get_callable(b) is f
    with pytest.raises(TypeError, match="^Object must be callable, got int$"):
        messaging.register_callable(5)
    assert messaging.register_callable(len) == prefix + "3"
    assert messaging.register_callable(panticle.Excel) == prefix + "4"
    messaging.unregister_callable(a)
    messaging.unregister_callable(a)
    messaging.unregister_callable("pyfunc_never")
    assert messaging.get_callable(a) is None and messaging.get_callable(b) is f
    with pytest.raises(TypeError, match="'callable_id'"):
        messaging.get_callable(5)
    with pytest.raises(TypeError, match="'callable_id'"):
        messaging.unregister_callable(type("S", (str,), {})("x"))

    messaging.reset()
    assert messaging.get_callable(b) is None and messaging._callable_registry == {}
    assert messaging.register_callable(f) == "pyfunc_" + messaging._guid[:8] + "_1"


def test_concurrent_registrations_never_share_a_number():
    ids = []

    def worker():
        for _ in range(200):
            ids.append(messaging.register_callable(print))

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(set(ids)) == 1600 and messaging._next_callable_id == 1601


def test_reset_without_roots_still_takes_effect(monkeypatch):
    monkeypatch.delattr(panticle, "Context")
    monkeypatch.setattr(panticle, "Excel", object())  # re-stamping it fails
    messaging.register_callable(print)
    old = messaging._guid
    messaging.reset()
    assert messaging._guid != old and messaging._next_callable_id == 1
    assert panticle.GetSetting._msg_guid == messaging._guid
