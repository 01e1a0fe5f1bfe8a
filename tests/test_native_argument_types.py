"""Native callables of both modules given arguments of the wrong type: each refuses
them with TypeError, none crashes the process. Every call runs in a child
interpreter with a time-out, so a crash fails its case instead of the run."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

from servers import ROOT, scaled

WRONG = ["7", "(1, 2)", "{'a': 1}", "None", "object()"]

# The builtins the master hands to Python itself (loop callbacks, parser hooks)
# rather than placing in its module: found among the live objects once an
# endpoint has read a frame, with a task of the connection in flight.
FIND_BUILTINS = """
    import asyncio, gc, json, logging, sys
    logging.disable(logging.CRITICAL)
    import tavrino_master.business_layer.relvane as relvane
    from fakes import Sock

    class Feed(Sock):
        query_params = {}

        def __init__(self):
            super().__init__()
            self.frames = ['{"type": "function_execution_result", "request_id": "r", "v": [NaN, 0.5]}']
            self.gate = asyncio.Event()

        async def receive_text(self):
            if self.frames:
                return self.frames.pop(0)
            await self.gate.wait()
            raise relvane.WebSocketDisconnect(1000)

    def builtin(name):
        found = [o for o in gc.get_objects() if type(o) is type(len) and o.__name__ == name]
        return found[0] if found else None

    async def main(name, make_args):
        sock = Feed()
        endpoint = asyncio.ensure_future(relvane.websocket_endpoint(sock, "kernel", "wb"))
        for _ in range(10000):  # loop turns, not time: the endpoint reads its frame within a few
            await asyncio.sleep(0)
            if not sock.frames or endpoint.done():
                break
        for _ in range(100):  # and its message's task and matching start on the turns after
            await asyncio.sleep(0)
        fn = builtin(name)
        try:
            fn(*make_args(fn))
            outcome = "no error"
        except BaseException as e:
            outcome = f"{type(e).__name__}: {e}"
        sock.gate.set()
        await asyncio.gather(endpoint, return_exceptions=True)
        print(json.dumps(outcome))
"""


def run_child(code, timeout=60):
    env = {k: v for k, v in os.environ.items() if not k.startswith("TAVRINO_") or k == "TAVRINO_TEST_TIMEOUT_SCALE"}
    env.update(PYTHONPATH=os.pathsep.join([ROOT, os.path.join(ROOT, "tests")]), TAVRINO_KERNEL_STANDBY="1")
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=ROOT, env=env, capture_output=True,
                         text=True, timeout=scaled(timeout))
    assert out.returncode == 0, f"child ended with {out.returncode}: {out.stderr[-3000:]}"
    return json.loads(out.stdout.strip().splitlines()[-1])


def call_builtin(name, args):
    return run_child(textwrap.dedent(FIND_BUILTINS) + f"asyncio.run(main({name!r}, lambda fn: {args}))\n")


@pytest.mark.parametrize("wrong", WRONG)
@pytest.mark.parametrize("name, arg", [
    ("_try_handle_response", "batch"),  # the burst matcher's loop callback
    ("_task_done", "task"),  # a connection task's completion callback
    ("_non_finite_constant", "token"),  # the frame parser's hooks
    ("_float_literal", "literal"),
])
def test_builtins_the_master_hands_out_refuse_a_wrong_argument(name, arg, wrong):
    outcome = call_builtin(name, f"[{wrong}]")
    assert outcome.startswith(f"TypeError: {name}() argument '{arg}' must be "), outcome


def test_task_callback_refuses_a_state_emptied_through_its_self():
    outcome = call_builtin("_task_done", "(fn.__self__.clear(), [asyncio.get_running_loop().create_future()])[1]")
    assert outcome.startswith("TypeError: _task_done() argument '__self__' must be "), outcome


# A done task whose own code empties the state of the callback running on it:
# its cancelled() or exception(), or the __eq__ of an entry of the task set
# with the task's hash, which the set's discard runs.
EMPTYING = """
    class Twin:
        def __init__(self, state):
            self.state = state

        def __hash__(self):
            return 7

        def __eq__(self, other):
            self.state.clear()
            return False

    class Emptying(asyncio.Future):
        def __init__(self, state, where):
            super().__init__()
            self.state, self.where = state, where
            self.set_result(None)
            if where == "__eq__":
                state[0].add(Twin(state))

        def __hash__(self):
            return 7

        def __eq__(self, other):
            return self is other

        def cancelled(self):
            if self.where == "cancelled":
                self.state.clear()
            return super().cancelled()

        def exception(self):
            if self.where == "exception":
                self.state.clear()
            return super().exception()
"""


@pytest.mark.parametrize("where", ["__eq__", "cancelled", "exception"])
def test_task_callback_refuses_a_state_emptied_by_the_tasks_own_code(where):
    outcome = run_child(textwrap.dedent(FIND_BUILTINS) + textwrap.dedent(EMPTYING)
                        + f"asyncio.run(main('_task_done', lambda fn: [Emptying(fn.__self__, {where!r})]))\n")
    assert outcome.startswith("TypeError: _task_done() argument '__self__' must be "), outcome


def test_task_callback_still_takes_a_task():
    outcome = call_builtin("_task_done", "[asyncio.get_running_loop().create_future()]")
    assert outcome.startswith("InvalidStateError"), outcome  # it reads the task's error: none is set yet


SWEEP = """
    import asyncio, inspect, json, logging, sys, types
    logging.disable(logging.CRITICAL)
    import tavrino_master.business_layer.relvane as relvane
    from tavrino_master.python_server.tavrino import panticle

    WRONG = {WRONG}
    NATIVE = type(relvane.compute_code_hash)

    def receiver(cls):
        if cls is relvane.ConnectionManager:
            return relvane.manager
        if cls is relvane.ResultBatcher:
            return relvane.ResultBatcher(relvane.manager)
        if cls is panticle.Messaging:
            return panticle.messaging
        return cls(5, "T") if cls is panticle.OfficeJsObject else cls(5)

    def natives():
        for module in (relvane, panticle):
            for name, value in sorted(vars(module).items()):
                if isinstance(value, type) and value.__module__ == module.__name__:
                    for attr, member in sorted(vars(value).items()):
                        raw = member.__func__ if isinstance(member, staticmethod) else member
                        if type(raw) is NATIVE or type(raw).__name__ == "instancemethod":
                            bound = raw if isinstance(member, staticmethod) else types.MethodType(raw, receiver(value))
                            yield f"{{name}}.{{attr}}", bound, raw
                elif type(value) is NATIVE or type(value) is type(len):
                    yield name, value, value

    async def outcome(fn, args):
        try:
            result = fn(*args)
            if inspect.isawaitable(result):
                await asyncio.wait_for(result, 0.5)
            return "returned"
        except BaseException as e:
            return type(e).__name__

    async def main():
        for name, fn, raw in natives():
            try:
                count = len(inspect.signature(fn).parameters)
            except (TypeError, ValueError):
                count = 2
            for wrong in WRONG:
                for at in range(max(count, 1)):
                    args = ["x"] * count
                    args[at:at + 1] = [eval(wrong)]
                    print(json.dumps([name, wrong, at, await outcome(fn, args)]), file=sys.stderr, flush=True)
        print(json.dumps("done"))

    asyncio.run(main())
"""


def test_every_native_function_survives_wrong_types_in_every_position():
    code = textwrap.dedent(SWEEP).format(WRONG=WRONG)
    env = {k: v for k, v in os.environ.items() if not k.startswith("TAVRINO_") or k == "TAVRINO_TEST_TIMEOUT_SCALE"}
    env.update(PYTHONPATH=ROOT, TAVRINO_KERNEL_STANDBY="1")
    out = subprocess.run([sys.executable, "-c", code], cwd=ROOT, env=env, capture_output=True, text=True,
                         timeout=scaled(300))
    calls = [json.loads(line) for line in out.stderr.splitlines() if line.startswith("[")]
    last = calls[-1][:3] if calls else "none"
    assert out.returncode == 0 and out.stdout.strip().endswith('"done"'), (
        f"child ended with {out.returncode} after {len(calls)} calls, the last {last}: {out.stderr[-2000:]}")
    assert len({c[0] for c in calls}) > 130  # both modules' functions and methods were reached
