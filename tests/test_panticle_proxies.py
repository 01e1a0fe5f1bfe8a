"""The kernel bridge's proxies of add-in objects: reads, writes, indexing, calls and staleness."""
import gc
import queue
import sys
import threading
import time
import traceback

import pytest

from tavrino_master.python_server.tavrino import panticle
from servers import scaled

messaging = panticle.messaging
STALE = "^Excel Object used after messaging context was stopped$"
NOT_CALLABLE = "^Only Function-typed SpecialObjects are callable$"
NULL = {"type": "Null", "value": None, "isSpec": False}


class FakeAddin:
    """Answers each request from its own listener thread, as the kernel program does."""

    def __init__(self):
        self.requests = []
        self.inbox = queue.SimpleQueue()
        self.responder = lambda env: {"ok": True, "result": NULL}
        self.thread = threading.Thread(target=self._listen, daemon=True)
        self.thread.start()

    def handler(self, env):
        self.requests.append(env)
        self.inbox.put(env)

    def _listen(self):
        while True:
            env = self.inbox.get()
            if env is None:
                return
            reply = self.responder(env)
            if reply is not None:
                messaging.on_message({"type": "excel_response", "requestId": env["requestId"], **reply})

    def stop(self):
        self.inbox.put(None)
        self.thread.join()

    def sent(self, method=None):
        return [{k: v for k, v in r.items() if k not in ("requestId", "kind")}
                for r in self.requests if method is None or r["method"] == method]

    def clear(self):
        self.requests.clear()


@pytest.fixture
def addin(clean_messaging):
    fake = FakeAddin()
    messaging.set_send_handler(fake.handler)
    # One answered request marks the listener thread, as in a running kernel.
    messaging.send_request_sync({"method": "PING"})
    fake.clear()
    yield fake
    gc.collect()
    messaging.set_send_handler(None)
    fake.stop()


def ref(tname, oid):
    return {"type": tname, "value": oid, "isSpec": True}


def test_reads_and_local_names(addin):
    addin.responder = lambda env: {"ok": True, "result": ref("Workbook", 5)}
    wb = panticle.Excel.Workbook
    assert type(wb) is panticle.OfficeJsObject and (wb._internal_id, wb._internal_typeName) == (5, "Workbook")
    assert addin.sent() == [{"method": "GET", "name": "Workbook", "caller": 1}]
    addin.clear()
    for name in ("_internal_id", "_internal_typeName", "_msg_guid", "_typ", "_internal_cache",
                 "__class__", "__dict__", "__doc__", "__module__", "__repr__"):
        getattr(wb, name)
    assert wb._typ == "officejs_object" and addin.sent() == []
    addin.responder = lambda env: {"ok": True, "result": NULL}
    wb.Name
    wb.Name
    assert addin.sent() == [{"method": "GET", "name": "Name", "caller": 5}] * 2


def test_writes(addin):
    proxy = panticle.OfficeJsObject(4, "Range")
    proxy._msg_guid = proxy._msg_guid
    proxy._typ = "x"
    assert addin.sent() == [] and proxy._typ == "x"
    proxy.values = [[1]]
    proxy._internal_cache = {}
    assert addin.sent() == [
        {"method": "SET", "name": "values",
         "value": {"type": "Array", "value": [{"type": "Array", "value": [
             {"type": "Int", "value": 1, "isSpec": False}], "isSpec": False}], "isSpec": False}, "caller": 4},
        {"method": "SET", "name": "_internal_cache",
         "value": {"type": "Dict", "value": {}, "isSpec": False}, "caller": 4},
    ]
    with pytest.raises(TypeError, match=r"Argument 'name' has incorrect type \(expected str, got int\)"):
        proxy.__setattr__(3, 1)


@pytest.mark.parametrize("index, text", [
    (2, "2"), (-1, "-1"), (True, "True"), (slice(1, 3), "1:3:"), (slice(None), "::"),
    (slice(None, None, 2), "::2"), (slice(-2, None, -1), "-2::-1"),
])
def test_indexing(addin, index, text):
    addin.responder = lambda env: {"ok": True, "result": {"type": "Int", "value": 9}}
    assert panticle.Excel[index] == 9
    assert addin.sent() == [{"method": "GETITEM", "name": text, "caller": 1}]


def test_calls_with_placed_and_named_arguments_and_callbacks(addin):
    addin.responder = lambda env: {"ok": True, "result": {"type": "String", "value": "done"}}
    fn = panticle.OfficeJsObject(8, "Function")

    def callback(x):
        return x * 2

    assert fn(1, "a", x=2, on_done=callback) == "done"
    (call,) = addin.sent()
    args = call.pop("args")
    assert call == {"method": "CALL", "name": "__call__", "caller": 8}
    assert args[:3] == [
        {"arg_type": "PLACED", "value": {"type": "Int", "value": 1, "isSpec": False}},
        {"arg_type": "PLACED", "value": {"type": "String", "value": "a", "isSpec": False}},
        {"arg_type": "NAMED", "name": "x", "value": {"type": "Int", "value": 2, "isSpec": False}},
    ]
    assert list(args[3]) == ["arg_type", "name", "value"] and args[3]["name"] == "on_done"
    cid = args[3]["value"]["value"]
    assert args[3]["value"]["type"] == "Python_Function" and cid.startswith("pyfunc_")
    # The add-in calls back by id; the kernel program resolves it.
    assert messaging.get_callable(cid)(21) == 42
    addin.clear()
    fn()
    assert addin.sent()[0]["args"] == []


def test_only_function_proxies_can_be_called(addin):
    for proxy in (panticle.Excel, panticle.OfficeJsArray(1), panticle.OfficeJsDict(2)):
        with pytest.raises(TypeError, match=NOT_CALLABLE):
            proxy(1)
    assert addin.sent("CALL") == []


def test_stale_proxies_refuse_all_but_release(addin):
    addin.responder = lambda env: {"ok": True, "result": ref("Range", 6)}
    old = panticle.Excel.Range
    arr = panticle.Serializer.from_wire({"type": "Array", "id": 12, "value": [{"type": "Int", "value": 1}]})
    messaging.reset()
    addin.clear()
    for op in (lambda: old.values, lambda: setattr(old, "values", 1), lambda: old[0], lambda: old(),
               lambda: arr.length, lambda: arr()):
        with pytest.raises(RuntimeError, match=STALE):
            op()
    with pytest.raises(TypeError, match="^Index must be an integer or a slice$"):
        old["a"]
    assert addin.sent() == []
    assert arr[0] == 1 and len(arr) == 1 and repr(arr) == "<OfficeJsArray id=12 len=1>"
    del old, arr
    assert addin.sent() == [{"method": "DEL", "name": "__del__", "caller": 6},
                            {"method": "DEL", "name": "__del__", "caller": 12}]


def test_every_root_works_after_reset(addin):
    addin.responder = lambda env: {"ok": True, "result": {"type": "Int", "value": 3}}
    messaging.reset()
    messaging.reset()
    assert panticle.Context.sync == 3 and panticle.Excel.x == 3 and panticle.GetSetting("key") == 3
    assert [r["caller"] for r in addin.sent()] == [0, 1, 2]


def test_remote_failures_are_runtime_errors(addin):
    addin.responder = lambda env: {"ok": False, "error": {"message": "Property not found"}}
    with pytest.raises(RuntimeError, match="^Property not found$"):
        panticle.Excel.missing
    with pytest.raises(RuntimeError):
        hasattr(panticle.Excel, "missing")
    with pytest.raises(RuntimeError):
        getattr(panticle.Excel, "missing", None)
    addin.responder = lambda env: {"ok": True}
    with pytest.raises(TypeError, match="must be dict, not NoneType"):
        panticle.Excel.no_result


def user_reads_missing():
    return panticle.Excel.missing


def test_tracebacks_end_in_user_code(addin):
    addin.responder = lambda env: {"ok": False}
    with pytest.raises(RuntimeError) as info:
        user_reads_missing()
    err = info.value
    frames = [f.name for f in traceback.extract_tb(err.__traceback__)]
    assert frames[-1] == "user_reads_missing"
    assert err.__cause__ is None and err.__suppress_context__
    stale = panticle.OfficeJsObject(3, "X")
    stale._msg_guid = "old"
    try:
        stale.anything
    except RuntimeError as e:
        assert [f.name for f in traceback.extract_tb(e.__traceback__)] == ["test_tracebacks_end_in_user_code"]


class CallableHandler:
    """A send handler object: its frame is named like a bridge operation."""

    def __call__(self, env):
        return fail_inside(env)


def fail_inside(env):
    raise ConnectionError("closed")


@pytest.mark.parametrize("names, kept", [
    (None, ["fail_inside"]),
    ([], ["__call__", "fail_inside"]),
])
def test_failure_filter_cuts_only_leading_listed_frames(addin, monkeypatch, names, kept):
    if names is not None:
        monkeypatch.setattr(panticle, "_internal_officejs_names", names)
    messaging.set_send_handler(CallableHandler())
    try:
        raise KeyError("earlier")
    except KeyError:
        with pytest.raises(ConnectionError) as info:
            panticle.Excel.x
    err = info.value
    inner = [f.name for f in traceback.extract_tb(err.__traceback__)][1:]
    assert inner == kept
    assert err.__cause__ is None and err.__suppress_context__


def test_interrupt_while_waiting_reaches_the_caller(addin):
    def interrupted(env):
        raise KeyboardInterrupt

    messaging.set_send_handler(interrupted)
    with pytest.raises(KeyboardInterrupt):
        panticle.Excel.x


def test_release_on_garbage_collection_sends_one_del_each(addin):
    nested = {"type": "Array", "id": 20, "value": [
        {"type": "Array", "id": 21, "value": [ref("Range", 22)]},
        {"type": "Dict", "id": 23, "value": {"r": ref("Range", 24)}},
    ]}
    addin.responder = lambda env: ({"ok": True, "result": nested} if env["method"] == "GET"
                                   else {"ok": True, "result": NULL})
    value = panticle.Excel.data
    assert addin.sent("DEL") == []
    value.append(value)  # a cycle: only the collector frees it
    del value
    gc.collect()
    assert sorted(r["caller"] for r in addin.sent("DEL")) == [20, 21, 22, 23, 24]
    addin.clear()
    for _ in range(20):
        panticle.OfficeJsObject(99, "Range")
    assert addin.sent() == [{"method": "DEL", "name": "__del__", "caller": 99}] * 20


def test_release_never_raises(addin):
    messaging.set_send_handler(None)
    del_errors = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = del_errors.append
    try:
        panticle.OfficeJsObject(1, "X").__del__()
        panticle.OfficeJsObject(2, "X")
        addin.responder = lambda env: {"ok": False}
        messaging.set_send_handler(addin.handler)
        panticle.OfficeJsArray(3)
        with pytest.raises(TypeError):
            panticle.OfficeJsObject("bad", "X")  # finalised without an id: nothing sent
        gc.collect()
    finally:
        sys.unraisablehook = old_hook
    assert del_errors == []
    assert [r["caller"] for r in addin.sent("DEL")] == [3]


def test_release_on_the_answering_thread_does_not_wait(addin):
    outcome = []

    def responder(env):
        if env["method"] == "GET":
            start = time.monotonic()
            panticle.OfficeJsObject(77, "Range")  # freed here, on the listener thread
            outcome.append(time.monotonic() - start)
        return {"ok": True, "result": NULL}

    addin.responder = responder
    start = time.monotonic()
    assert panticle.Excel.x is None
    # a release that waited for its answer here would wait out the request's 30 s
    assert time.monotonic() - start < scaled(20) and outcome[0] < min(scaled(1), 10)
    assert {"method": "DEL", "name": "__del__", "caller": 77} in addin.sent("DEL")
    assert messaging.waiters == {}  # the release left no waiter behind


def test_array_and_dict_items_stay_local(addin):
    arr = panticle.Serializer.from_wire({"type": "Array", "id": 7, "value": [
        {"type": "Int", "value": i} for i in (1, 2, 3)]})
    d = panticle.Serializer.from_wire({"type": "Dict", "id": 4, "value": {
        "a": {"type": "Int", "value": 1}, "items": {"type": "Int", "value": 2},
        "_typ": {"type": "Int", "value": 3}}})
    messaging.reset()
    assert arr == [1, 2, 3] and arr[1:] == [2, 3] and list(arr) == [1, 2, 3] and 2 in arr and len(arr) == 3
    arr.append(4)
    arr[0] = 0
    arr.sort(reverse=True)
    assert arr.count(4) == 1 and arr.index(0) == 3
    assert d["a"] == 1 and d.a == 1 and callable(d.items) and d["items"] == 2 and d._typ == "officejs_dict"
    d.a = 5
    assert d["a"] == 5
    with pytest.raises(AttributeError, match="^Cannot set attributes on OfficeJsDict$"):
        d.b = 1
    d["b"] = 0
    d.b = 2
    assert d == {"a": 5, "items": 2, "_typ": 3, "b": 2}
    other = panticle.Serializer.from_wire({"type": "Dict", "id": 99, "value": {}})
    other.update(d)
    assert other == d and other._internal_id != d._internal_id
    with pytest.raises(KeyError):
        d["zzz"]
    for name in ("_msg_guid", "length", "_internal_id"):
        with pytest.raises(AttributeError, match="^Cannot set attributes on OfficeJsArray$"):
            setattr(arr, name, 1)
    assert arr._internal_id == 7
    assert repr(arr) == str(arr) == "<OfficeJsArray id=7 len=4>"
    assert repr(d) == "<OfficeJsDict id=4 keys=['a', 'items', '_typ', 'b']>"
    for proxy in (arr, d):
        with pytest.raises(TypeError, match="unhashable"):
            hash(proxy)
    assert addin.sent() == []


def test_array_and_dict_remote_attribute_reads(addin):
    addin.responder = lambda env: {"ok": True, "result": {"type": "Int", "value": 3}}
    arr = panticle.OfficeJsArray(7)
    d = panticle.OfficeJsDict(4)
    assert arr.length == 3 and d.count == 3
    assert addin.sent() == [{"method": "GET", "name": "length", "caller": 7},
                            {"method": "GET", "name": "count", "caller": 4}]
    with pytest.raises(TypeError, match="Argument 'name' has incorrect type"):
        d.__getattr__(1)


def test_construction_and_identity():
    a = panticle.OfficeJsObject(3.7, "Range")
    b = panticle.OfficeJsObject(object_id=True, type_name="Range")
    assert a._internal_id == 3 and b._internal_id == 1 and type(a._internal_id) is int
    assert a._internal_cache == {} and a._internal_cache is not b._internal_cache
    assert a != panticle.OfficeJsObject(3, "Range") and a == a and hash(a) == object.__hash__(a)
    assert {a: 1}[a] == 1
    for args, text in [
        (("3", "X"), r"Argument 'object_id' has incorrect type \(expected int, got str\)$"),
        ((None, "X"), r"\(expected int, got NoneType\)$"),
        ((1, None), r"Argument 'type_name' has incorrect type \(expected str, got NoneType\)$"),
        ((1, type("Name", (str,), {})("X")), r"\(expected str, got Name\)\. Subclasses"),
    ]:
        with pytest.raises(TypeError, match=text):
            panticle.OfficeJsObject(*args)
    with pytest.raises(TypeError, match="object_id"):
        panticle.OfficeJsArray(None)
    guid = messaging._guid
    arr = panticle.OfficeJsArray(5)
    messaging.reset()
    assert arr._msg_guid == guid and panticle.OfficeJsDict(6)._msg_guid == messaging._guid
    assert (arr._typ, arr._internal_typeName) == ("officejs_array", "Array")
    assert [repr(r) for r in (panticle.Context, panticle.Excel, panticle.GetSetting)] == [
        "<OfficeJsObject RequestContext id=0>", "<OfficeJsObject Excel id=1>", "<OfficeJsObject Function id=2>"]



def test_release_passes_interrupts_through():
    def interrupted(env):
        raise KeyboardInterrupt

    proxy = panticle.OfficeJsObject(5, "Range")
    messaging.set_send_handler(interrupted)
    try:
        with pytest.raises(KeyboardInterrupt):
            panticle._cw__del__(proxy)
    finally:
        messaging.set_send_handler(None)
        messaging.reset()


def test_release_and_construction_use_the_current_messaging_global(monkeypatch):
    class Recorder:
        _guid = "f" * 32

        def __init__(self):
            self.calls = []

        def send_request_sync(self, req, timeout=30.0):
            self.calls.append((req, timeout))
            raise RuntimeError("not delivered")

    stand_in = Recorder()
    monkeypatch.setattr(panticle, "messaging", stand_in)
    proxy = panticle.OfficeJsObject(8, "Range")
    assert proxy._msg_guid == "f" * 32
    del proxy
    gc.collect()
    assert stand_in.calls == [({"method": "DEL", "name": "__del__", "caller": 8}, 30.0)]
