"""The C++ coroutine bridge and native function objects, driven from Python."""
import asyncio
import gc
import inspect
import sys
import types
import warnings

import pytest

sys.path.insert(0, __import__("os").path.dirname(__file__))
import _bridge_probe as probe  # noqa: E402
from servers import scaled


class Recorder:
    """An awaitable that yields given values and records what is sent back."""

    def __init__(self, *yields, result="done"):
        self.yields = yields
        self.result = result
        self.received = []

    def __await__(self):
        for y in self.yields:
            self.received.append((yield y))
        return self.result


def drive(coro, sends=()):
    """Steps a coroutine by hand; returns the yielded values and the result."""
    yielded = [coro.send(None)]
    try:
        for s in sends:
            yielded.append(coro.send(s))
        coro.send(None)
    except StopIteration as stop:
        return yielded, stop.value
    raise AssertionError("coroutine did not finish")


# ---------------------------------------------------------------- recognition

@pytest.mark.parametrize("fn", [probe.await_value, probe.typed, probe.Probe().method, probe.Probe.method])
def test_coroutine_functions_are_recognised(fn):
    assert asyncio.iscoroutinefunction(fn)
    assert inspect.iscoroutinefunction(fn)


def test_plain_function_is_not_a_coroutine_function():
    assert not asyncio.iscoroutinefunction(probe.plain)
    assert not inspect.iscoroutinefunction(probe.plain)
    assert probe.plain("a", [1]) == ("a", [1])


def test_coroutine_object_protocol():
    coro = probe.return_tuple()
    try:
        assert asyncio.iscoroutine(coro)
        assert inspect.isawaitable(coro)
        for name in ("send", "throw", "close", "__await__"):
            assert callable(getattr(coro, name))
        assert coro.__await__() is coro
        assert coro.__qualname__ == "return_tuple"
    finally:
        coro.close()


def test_metadata_and_signature():
    sig = inspect.signature(probe.typed)
    assert list(sig.parameters) == ["text", "mapping", "maybe", "flag"]
    assert sig.parameters["text"].annotation is str
    assert sig.parameters["mapping"].annotation is dict
    assert sig.parameters["maybe"].default is None
    assert sig.parameters["flag"].default is False
    assert probe.typed.__name__ == "typed"
    assert probe.typed.__module__ == "_bridge_probe"
    assert probe.typed.__doc__ == "Echoes its checked arguments."
    assert probe.Probe.method.__qualname__ == "Probe.method"
    assert list(inspect.signature(probe.Probe().method).parameters) == ["x"]
    ann = inspect.signature(probe.echo_endpoint).parameters["websocket"].annotation
    assert ann.__name__ == "WebSocket"


async def test_methods_bind_to_their_instance():
    p = probe.Probe()
    bound = p.method
    assert isinstance(bound, types.MethodType) and bound.__self__ is p
    assert await p.method("x") == (p, "x")
    assert await probe.Probe.method(p, x="y") == (p, "y")


# ---------------------------------------------------------------- argument checks

@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1, {}), {}, "typed() argument 'text' must be str, not int"),
        ((None, {}), {}, "typed() argument 'text' must be str, not NoneType"),
        ((type("S", (str,), {})("x"), {}), {}, "typed() argument 'text' must be str, not S"),
        (("x", []), {}, "typed() argument 'mapping' must be dict, not list"),
        (("x", {}), {"maybe": 3}, "typed() argument 'maybe' must be str or None, not int"),
        (("x", {}), {"flag": 1}, "typed() argument 'flag' must be bool, not int"),
        (("x",), {}, "typed() missing required argument: 'mapping'"),
        (("x", {}, None, False, 5), {}, "typed() takes 4 positional arguments but 5 were given"),
        (("x", {}), {"nope": 1}, "typed() got an unexpected keyword argument 'nope'"),
        (("x", {}), {"text": "y"}, "typed() got multiple values for argument 'text'"),
    ],
)
def test_argument_errors_are_raised_at_the_call(args, kwargs, message):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no coroutine may be created and dropped
        with pytest.raises(TypeError) as err:
            probe.typed(*args, **kwargs)
    assert str(err.value) == message


async def test_checked_arguments_pass_through_by_keyword():
    assert await probe.typed(mapping={"a": 1}, text="t", flag=True) == ("t", {"a": 1}, None, True)


def test_method_receiver_cannot_be_given_by_keyword():
    with pytest.raises(TypeError):
        probe.Probe.method(self=probe.Probe(), x="a")


# ---------------------------------------------------------------- delegation

def test_yielded_values_go_up_and_sent_values_come_down():
    inner = Recorder("a", "b", result=42)
    yielded, result = drive(probe.await_value(inner), sends=["s1"])
    assert yielded == ["a", "b"]
    assert inner.received == ["s1", None]
    assert result == 42


def test_tuple_result_is_not_unpacked():
    with pytest.raises(StopIteration) as stop:
        probe.return_tuple().send(None)
    assert stop.value.value == (1, 2)


async def test_futures_reach_the_task_unchanged():
    loop = asyncio.get_running_loop()
    fut = loop.create_future()
    loop.call_later(0.01, fut.set_result, "later")
    assert await asyncio.create_task(probe.await_value(fut)) == "later"


async def test_nested_native_coroutines_and_many_immediate_children():
    assert await probe.nested(200) == 200
    ready = [asyncio.sleep(0, i) for i in range(20000)]
    assert await probe.await_each([probe.await_value(r) for r in ready[:10]]) == list(range(10))
    assert await probe.await_each(ready[10:]) == list(range(10, 20000))


async def test_gather_and_wait_for_accept_native_coroutines():
    results = await asyncio.gather(*(probe.await_value(asyncio.sleep(0.001, i)) for i in range(5)))
    assert results == [0, 1, 2, 3, 4]
    assert await asyncio.wait_for(probe.return_tuple(), scaled(1)) == (1, 2)
    assert await asyncio.ensure_future(probe.return_tuple()) == (1, 2)


# ---------------------------------------------------------------- errors

async def test_python_error_surfaces_at_co_await_and_can_be_caught_by_class():
    async def fails():
        raise ValueError("bad")

    status, exc = await probe.catch_class(fails(), ValueError)
    assert status == "caught" and isinstance(exc, ValueError) and str(exc) == "bad"
    assert await probe.catch_class(asyncio.sleep(0, 5), ValueError) == ("returned", 5)


async def test_uncaught_python_error_propagates_unchanged():
    err = KeyError("k")

    async def fails():
        raise err

    with pytest.raises(KeyError) as info:
        await probe.catch_class(fails(), ValueError)
    assert info.value is err


async def test_cpp_exception_becomes_runtime_error():
    with pytest.raises(RuntimeError, match="^boom$"):
        await probe.raise_cpp("boom")


async def test_stop_iteration_escaping_becomes_runtime_error():
    with pytest.raises(RuntimeError, match="coroutine raised StopIteration") as info:
        await probe.raise_stop_iteration()
    assert isinstance(info.value.__cause__, StopIteration)


def test_throw_forms_reach_the_await():
    for args in [(ValueError("x"),), (ValueError,), (ValueError, "x")]:
        coro = probe.catch_class(Recorder("y"), ValueError)
        coro.send(None)
        with pytest.raises(StopIteration) as stop:
            coro.throw(*args)
        assert stop.value.value[0] == "caught"


# ---------------------------------------------------------------- cancellation and closing

async def test_cancellation_reaches_inner_future_and_runs_destructors():
    exits = []
    fut = asyncio.get_running_loop().create_future()
    task = asyncio.create_task(probe.guarded(fut, lambda: exits.append(1)))
    await asyncio.sleep(0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert task.cancelled() and fut.cancelled()
    assert exits == [1]


async def test_wait_for_timeout_cleans_up():
    exits = []
    with pytest.raises(TimeoutError):
        await asyncio.wait_for(probe.guarded(asyncio.sleep(10), lambda: exits.append(1)), 0.01)
    assert exits == [1]


def test_close_runs_destructors_and_refuses_ignored_generator_exit():
    exits = []
    coro = probe.guarded(Recorder("y"), lambda: exits.append(1))
    coro.send(None)
    coro.close()
    assert exits == [1]
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)

    stubborn = probe.stubborn(Recorder("a"), Recorder("b"))
    stubborn.send(None)
    with pytest.raises(RuntimeError, match="coroutine ignored GeneratorExit"):
        stubborn.close()
    with pytest.raises(StopIteration):  # still alive, at its second await
        stubborn.send(None)


def test_throw_before_start_does_not_run_the_body():
    started = []
    coro = probe.touch_then_await(lambda: started.append(1), Recorder("y"))
    with pytest.raises(ValueError):
        coro.throw(ValueError("early"))
    assert started == []
    with pytest.raises(RuntimeError):
        coro.send(None)


def test_send_non_none_to_unstarted_coroutine_is_refused():
    coro = probe.return_tuple()
    with pytest.raises(TypeError, match="just-started"):
        coro.send(1)
    coro.close()


def test_never_awaited_coroutine_warns():
    with pytest.warns(RuntimeWarning, match="coroutine 'return_tuple' was never awaited"):
        probe.return_tuple()
        gc.collect()


# ---------------------------------------------------------------- no leaks

def test_no_reference_growth_over_many_calls():
    token = object()

    async def many():
        for _ in range(20000):
            assert await probe.await_value(asyncio.sleep(0, token)) is token
            try:
                await probe.raise_cpp("x")
            except RuntimeError:
                pass

    asyncio.run(many())  # warm caches first
    total = getattr(sys, "gettotalrefcount", None)  # debug interpreter only
    gc.collect()
    before = sys.getrefcount(token)
    objects_before = len(gc.get_objects())
    refs_before = total() if total else 0
    asyncio.run(many())
    gc.collect()
    assert sys.getrefcount(token) == before
    assert len(gc.get_objects()) - objects_before < 200
    if total:
        assert total() - refs_before < 2000  # 40000 calls: no per-call growth
