"""The coroutine bridge keeps CPython's coroutine protocol where Python code
re-enters a native coroutine while it runs (a delegate's finally block or
finaliser), where two tasks await one coroutine, and where the delegate's
`throw` cannot be looked up. Each case is compared with the same steps on an
`async def` coroutine. Re-entry used to crash the interpreter, so those cases
run in a child process."""
import asyncio
import json
import os
import subprocess
import sys
import textwrap

import pytest

from servers import scaled

HERE = os.path.dirname(__file__)
sys.path.insert(0, HERE)
import _bridge_probe as probe  # noqa: E402

CHILD_PRELUDE = textwrap.dedent("""
    import json, sys
    sys.path.insert(0, %r)
    import _bridge_probe as probe

    class Yield:
        def __await__(self):
            yield "y"

    async def py_await_value(awaitable):
        return await awaitable

    def outcome(fn):
        try:
            r = fn()
        except StopIteration as stop:
            return ["stop", repr(stop.value)]
        except BaseException as e:
            return [type(e).__name__, str(e)]
        return ["value", repr(r)]
""" % HERE)


def run_child(body):
    """Runs `body` after the prelude in a fresh interpreter; its printed JSON line."""
    proc = subprocess.run([sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(body)], cwd=HERE,
                          capture_output=True, text=True, timeout=scaled(60))
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-3000:])
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("touch", ["close", "send", "throw"])
@pytest.mark.parametrize("entry", ["close", "throw"])
def test_delegate_finally_touching_the_outer_coroutine_gets_value_error(entry, touch):
    results = run_child(f"""
        def attempt(make_outer):
            seen = []
            holder = {{}}

            async def inner():
                try:
                    await Yield()
                finally:
                    outer = holder["outer"]
                    if {touch!r} == "send":
                        seen.append(outcome(lambda: outer.send(None)))
                    elif {touch!r} == "throw":
                        seen.append(outcome(lambda: outer.throw(KeyError("again"))))
                    else:
                        seen.append(outcome(outer.close))

            outer = holder["outer"] = make_outer(inner())
            outer.send(None)
            if {entry!r} == "close":
                seen.append(outcome(outer.close))
            else:
                seen.append(outcome(lambda: outer.throw(LookupError("stop"))))
            seen.append(outcome(lambda: outer.send(None)))
            return seen

        print(json.dumps({{"native": attempt(probe.await_value), "python": attempt(py_await_value)}}))
    """)
    assert results["native"] == results["python"]
    assert results["native"][0] == ["ValueError", "coroutine already executing"]


@pytest.mark.parametrize("touch", ["close", "send"])
def test_delegate_finaliser_reentering_while_released_gets_value_error(touch):
    results = run_child(f"""
        def attempt(make_outer):
            seen = []
            holder = {{}}

            class Step:
                def __init__(self):
                    self.n = 0
                def __iter__(self):
                    return self
                def __next__(self):
                    self.n += 1
                    if self.n == 1:
                        return "y"
                    raise StopIteration(7)
                def __del__(self):
                    outer = holder["outer"]
                    seen.append(outcome(outer.close if {touch!r} == "close" else lambda: outer.send(None)))

            class Awaitable:
                def __await__(self):
                    return Step()

            outer = holder["outer"] = make_outer(Awaitable())
            outer.send(None)
            seen.append(outcome(lambda: outer.send(None)))
            return seen

        print(json.dumps({{"native": attempt(probe.await_value), "python": attempt(py_await_value)}}))
    """)
    assert results["native"] == results["python"]
    assert results["native"] == [["ValueError", "coroutine already executing"], ["stop", "7"]]


async def py_await_value(awaitable):
    return await awaitable


@pytest.mark.parametrize("make_second", [probe.await_value, py_await_value], ids=["native", "python"])
@pytest.mark.parametrize("make_first", [probe.await_value, py_await_value], ids=["native", "python"])
async def test_second_awaiter_is_refused(make_first, make_second):
    fut = asyncio.get_running_loop().create_future()
    coro = make_first(fut)
    first = asyncio.ensure_future(coro)
    await asyncio.sleep(0)  # the first task is now suspended in the await
    with pytest.raises(RuntimeError, match="coroutine is being awaited already"):
        await asyncio.wait_for(make_second(coro), scaled(5))
    fut.set_result("answer")
    assert await asyncio.wait_for(first, scaled(5)) == "answer"


class ThrowLookupFails:
    """An awaitable whose iterator's `throw` cannot be looked up."""

    def __init__(self, error):
        self.error = error

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return "y"

    @property
    def throw(self):
        raise self.error


async def py_catch_class(awaitable, cls):
    try:
        return ("returned", await awaitable)
    except cls as e:
        return ("caught", e)


def thrown(make, lookup_error):
    coro = make(ThrowLookupFails(lookup_error), ValueError)
    assert coro.send(None) == "y"
    try:
        coro.throw(ValueError("into"))
    except StopIteration as stop:
        result = ("stop", stop.value[0], str(stop.value[1]))
    except BaseException as e:
        result = ("raised", type(e).__name__, str(e))
    else:
        result = ("yielded",)
    still = coro.cr_await is not None  # the delegate kept
    coro.close()
    return result, still


@pytest.mark.parametrize("lookup_error, expected", [
    (AttributeError("no throw"), ("stop", "caught", "into")),
    (KeyError("lookup"), ("raised", "KeyError", "'lookup'")),
    (RecursionError("deep"), ("raised", "RecursionError", "deep")),
])
def test_throw_swallows_only_attribute_error_of_the_lookup(lookup_error, expected):
    native = thrown(probe.catch_class, lookup_error)
    python = thrown(py_catch_class, lookup_error)
    assert native == python
    assert native[0] == expected
