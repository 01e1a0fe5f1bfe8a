"""Kernel program of one workbook.

Connects back to the master as client type "kernel" under the workbook id,
keeps the workbook's modules, runs its functions and hosts the object bridge.

Threads: the main thread is the listener; it reads the master's messages in
its own event loop, records module texts and paths, passes the add-in's
answers to `messaging.on_message`, and hands every call to a worker thread. It
never runs user code and never waits on a bridge request itself (the releases
of a call's arguments leave from it without waiting), so a user function
blocked on an Office.js call always gets its answer. It also sends what the
workers hand to the outbox.
"""
import asyncio
import concurrent.futures
import importlib
import io
import json
import logging
import os
import sys
import threading
import time

import websockets

from tavrino_master import logging_config
from tavrino_master.python_server import wire_json
from tavrino_master.python_server.calls import (CapturedOutput, OutputRouter, error_record, from_wire_args, iterate,
                                                resolve, run_to_value)
from tavrino_master.python_server.outbox import Alone, Outbox, OutputBuffer, Pace, StreamValues
from tavrino_master.python_server.tavrino import panticle
from tavrino_master.python_server.workbook_modules import WorkbookModules

log = logging.getLogger("tavrino.kernel")

HOST_VARIABLE = "TAVRINO_SERVER_HOST"
RECONNECT_DELAYS = (0.1, 0.25, 0.5, 1.0, 2.0)
# Without a connection for this long the master counts as gone for good.
GIVE_UP_AFTER = 20.0
PARENT_CHECK_INTERVAL = 0.5
SEND_TIMEOUT = 10.0
MAX_MESSAGE = 256 * 1024 * 1024
WORKERS = 32
MAX_EARLY_CANCELS = 1024
# Messages whose order the add-in and the IDEs see must be the order they were
# sent in: never packed into a batch, whose messages the master handles at once.
ORDERED_TYPES = frozenset({"streaming_function_result", "stdout", "stderr"})

# Stream values sent per second, all streams together, and how many may leave
# at once. The add-in and every IDE take each value, and the master relays
# without holding a stream back: a generator that never pauses would bury the
# workbook's other answers, and its own cancel, under its values. Values
# beyond the pace are not sent but replaced by newer ones (StreamValues). A
# value counts once more for each 64 KiB of its text.
STREAM_RATE = 200.0
STREAM_BURST = 200.0
STREAM_COST_UNIT = 65536
# A stream whose values are being replaced pauses this long after each stretch
# of this long, so that the listener and the other workers get the interpreter.
STREAM_PAUSE = 0.001
STREAM_PAUSE_EVERY = 0.01
# Output messages carry at most this many characters each.
OUTPUT_PIECE = 1024 * 1024
NO_INPUT = "The kernel has no standard input: workbook code cannot read it (input(), getpass, sys.stdin)"

# Loggers of the kernel program and of the connection library it talks through.
OWN_LOGGERS = ("tavrino", "websockets")

# Requests that this kernel program does not serve: logged and ignored.
NOT_SERVED = {
    "debug_continue", "debug_step_over", "debug_step_into", "debug_step_out", "debug_stop", "debug_evaluate",
    "debug_update_breakpoints", "completion_request", "signature_help_request", "diagnostic_request",
    "hover_request", "set_hover_mode", "get_object_registry", "execution_request",
}


class Kernel:
    def __init__(self, workbook_id, port, host=None, master_pid=None):
        self.workbook_id = workbook_id
        # The master names the address it listens on; dialling another could reach a stranger.
        host = host or os.environ.get(HOST_VARIABLE) or "127.0.0.1"
        self.url = f"ws://{f'[{host}]' if ':' in host else host}:{port}/ws/kernel/{workbook_id}"
        self.parent_pid = os.getppid() if master_pid is None else master_pid
        self.loop = None
        self.ws = None
        self.connected = None
        self.listener_ident = None
        self.captures = threading.local()
        self.pool = concurrent.futures.ThreadPoolExecutor(WORKERS, thread_name_prefix="kernel-worker")
        self.outbox = Outbox(self.current_socket, SEND_TIMEOUT)
        self.output_buffer = OutputBuffer(self.send_output, self.outbox.has_room)
        self.streams = {}
        self.stream_pace = Pace(STREAM_RATE, STREAM_BURST)
        self.early_cancels = []
        self.streams_lock = threading.Lock()
        self.messaging = panticle.messaging
        self.modules = WorkbookModules(
            namespace={"Context": panticle.Context, "Excel": panticle.Excel, "GetSetting": panticle.GetSetting},
            request_module=self.request_module)
        self.handlers = {
            "update_module": self.on_update_module,
            "delete_module": self.on_delete_module,
            "set_python_paths": self.on_set_paths,
            "set_package_paths": self.on_set_paths,
            "unload_and_clear_paths": self.on_unload_paths,
            "excel_response": self.on_answer,
            "sys_response": self.on_answer,
            "custom_function_call": self.in_worker(self.run_function_call),
            "event_execution": self.in_worker(self.run_event),
            "python_function_call": self.in_worker(self.run_callable),
            "run_module": self.in_worker(self.run_module),
            "execute_streaming_function": self.on_stream_start,
            "cancel_streaming_function": self.on_stream_cancel,
            "ping": lambda message: None,
        }

    # -- start-up and connection ---------------------------------------------------

    def install(self):
        """Bridge and output first: no user code runs before these are in place."""
        self.messaging.set_send_handler(self.send_request)
        sys.meta_path.insert(0, self.modules)
        sys.meta_path.append(self.modules.on_demand)
        sys.stdout = OutputRouter(self, "stdout", sys.__stdout__)
        sys.stderr = OutputRouter(self, "stderr", sys.__stderr__)
        sys.stdin = NoInput()

    def run(self):
        detach_stdin()
        self.install()
        asyncio.run(self.listen())
        # Workers may still wait on the master that is gone: don't join them.
        logging.shutdown()
        os._exit(0)

    async def listen(self):
        self.loop = asyncio.get_running_loop()
        self.listener_ident = threading.get_ident()
        self.outbox.attach(self.loop)
        self.output_buffer.attach(self.loop)
        # Answers reach the bridge on this thread. Marking it before the first
        # one comes lets a proxy freed here send its release without waiting.
        self.messaging.on_message({})
        self.connected = asyncio.Event()
        watchdog = asyncio.create_task(self.watch_parent())
        last_seen = time.monotonic()
        attempt = 0
        while True:
            try:
                async with websockets.connect(self.url, max_size=MAX_MESSAGE, open_timeout=5) as ws:
                    self.ws = ws
                    attempt = 0
                    self.messaging.reset()
                    self.connected.set()
                    log.info("Kernel connected for workbook %s", self.workbook_id)
                    async for frame in ws:
                        self.dispatch(frame)
            except (OSError, asyncio.TimeoutError, websockets.WebSocketException) as exc:
                if self.ws is None:
                    log.warning("Could not connect to the master at %s (retrying): %s", self.url,
                                str(exc) or type(exc).__name__)
                else:
                    log.debug("Connection to the master lost: %s", exc)
            finally:
                if self.ws is not None:
                    last_seen = time.monotonic()
                    self.ws = None
                    self.connected.clear()
                    self.messaging.reset()
            if time.monotonic() - last_seen > GIVE_UP_AFTER:
                log.info("Master unreachable for %.0f s: kernel exits", GIVE_UP_AFTER)
                break
            await asyncio.sleep(RECONNECT_DELAYS[min(attempt, len(RECONNECT_DELAYS) - 1)])
            attempt += 1
        watchdog.cancel()

    async def watch_parent(self):
        """Ends the process once the master that started it is gone."""
        while os.getppid() == self.parent_pid:
            await asyncio.sleep(PARENT_CHECK_INTERVAL)
        log.info("Master gone: kernel exits")
        os._exit(0)

    def dispatch(self, frame):
        try:
            message = json.loads(frame)
        except ValueError:
            log.warning("Dropped a message that is not JSON")
            return
        if not isinstance(message, dict):
            return
        kind = message.get("type")
        handler = self.handlers.get(kind)
        if handler is not None:
            try:
                handler(message)
            except Exception:
                log.exception("Handling %s failed", kind)
        elif kind in NOT_SERVED:
            log.info("Ignored %s: not served by this kernel program", kind)
        else:
            log.info("Ignored message of type %s", kind)

    def in_worker(self, work):
        def submit(message):
            self.pool.submit(self.guarded, work, message)
        return submit

    @staticmethod
    def guarded(work, message):
        try:
            work(message)
        except BaseException:  # a worker survives whatever user code raised
            log.exception("%s failed", work.__name__)

    # -- sending -------------------------------------------------------------------

    async def current_socket(self):
        """The connection to the master, waiting a while for one."""
        if self.ws is None:
            await asyncio.wait_for(self.connected.wait(), SEND_TIMEOUT)
        return self.ws

    def send(self, message):
        """Hands one message over for the master without waiting for it to be
        sent; raises at once when it cannot be encoded or the master would
        refuse it (wire_json.MessageTooLarge, MessageTooDeep). Returns the
        characters handed over."""
        texts = message_texts(message)
        self.outbox.put(texts)
        return sum(map(len, texts))

    def release_later(self, held):
        """Drops the objects in `held` on the listener thread after every
        message sent before: proxies among them are released off the answer's path."""
        if self.loop is None:
            held.clear()
        else:
            self.outbox.put_release(held)

    def send_request(self, envelope):
        """The bridge's send handler: each request travels to the add-in as "sys_request"."""
        # An answer could only come through the listener thread; a release
        # sent from it does not wait for one.
        if threading.get_ident() == self.listener_ident and envelope.get("method") != "DEL":
            raise RuntimeError("Office.js requests cannot be sent from the kernel's listener thread")
        if self.ws is None:
            raise ConnectionError("not connected to the master")
        self.send(dict(envelope, type="sys_request"))

    def output(self, stream_name, text):
        """Output outside any call goes to the add-in and the IDEs, gathered
        for a moment; false when it cannot."""
        if self.ws is None:
            return False
        return self.output_buffer.write(stream_name, text)

    def send_output(self, stream_name, text):
        """Sends gathered output (on the loop); without a connection it goes to
        the kernel's own stream."""
        for at in range(0, len(text), OUTPUT_PIECE):
            piece = text[at:at + OUTPUT_PIECE]
            try:
                if self.ws is None:
                    raise ConnectionError
                self.send({"type": stream_name, "workbook_id": self.workbook_id, "content": piece})
            except Exception:
                (sys.__stdout__ if stream_name == "stdout" else sys.__stderr__).write(piece)

    def request_module(self, name):
        self.send({"type": "request_module_sync", "module_name": name, "workbook_id": self.workbook_id})

    # -- module texts and paths (listener thread) ---------------------------------

    def on_update_module(self, message):
        name, code = message.get("module_name"), message.get("code")
        if isinstance(name, str) and name and isinstance(code, str):
            self.modules.update(name, code)

    def on_delete_module(self, message):
        name = message.get("module_name")
        if isinstance(name, str):
            self.modules.delete(name)

    def on_set_paths(self, message):
        remove_paths(message.get("old_paths") or [])
        for path in reversed(message.get("new_paths") or []):
            if isinstance(path, str) and path and path not in sys.path:
                sys.path.insert(0, path)
        importlib.invalidate_caches()

    def on_unload_paths(self, message):
        paths = [p for p in message.get("paths") or [] if isinstance(p, str) and p]
        remove_paths(paths)
        prefixes = tuple(os.path.join(os.path.abspath(p), "") for p in paths)
        if prefixes:
            for name, module in list(sys.modules.items()):
                if (getattr(module, "__file__", None) or "").startswith(prefixes):
                    sys.modules.pop(name, None)
        importlib.invalidate_caches()

    def on_answer(self, message):
        self.messaging.on_message(message)

    # -- calls (worker threads) ------------------------------------------------------

    # Each road keeps what user code was handed and gave back in a list
    # `held`, emptied by release_later once the answer is on its way: the
    # arguments' proxies are released after the answer, never before it.

    def call_user_function(self, message, held):
        """Resolves the named function and calls it with the converted arguments."""
        module = self.modules.load(message.get("module_name"))
        function = resolve(module, message.get("function_name"))
        args, kwargs = from_wire_args(message.get("args"))
        held += (args, kwargs)
        return run_to_value(function(*args, **kwargs))

    def captured(self, work, *args):
        """Runs work(*args) with this thread's output captured: (ok, value or
        exception, logs). Whatever user code raises is an outcome, SystemExit
        and KeyboardInterrupt included."""
        buffer = CapturedOutput()
        self.captures.buffer = buffer
        try:
            return True, work(*args), buffer.getvalue()
        except BaseException as exc:
            return False, exc, buffer.getvalue()
        finally:
            self.captures.buffer = None

    def run_function_call(self, message):
        held = []
        ok, value, logs = self.captured(self.call_user_function, message, held)
        held.append(value)
        answer = {"type": "execution_result" if ok else "execution_error", "request_id": message.get("request_id")}
        if ok:
            try:
                answer["result"] = panticle.Serializer.to_wire(value)
            except BaseException as exc:
                ok, value = False, exc
                held.append(exc)
                answer["type"] = "execution_error"
        if not ok:
            answer["error"] = error_record(value)
        answer["logs"] = logs
        del value
        self.send_answer(answer, lambda exc: {"type": "execution_error", "request_id": answer["request_id"],
                                              "error": error_record(exc), "logs": logs})
        self.release_later(held)

    def send_answer(self, answer, failed):
        """Sends an answer; one that cannot travel (no JSON form, nested too
        deeply for the encoder or the master, too large for the master) is
        replaced by failed(error), which holds only bounded texts."""
        try:
            self.send(answer)
        except Exception as exc:
            self.send(failed(exc))

    def run_event(self, message):
        held = []
        ok, value, logs = self.captured(self.call_user_function, message, held)
        answer = {"type": "event_execution_result", "request_id": message.get("request_id"),
                  "workbook_id": self.workbook_id, "module_name": message.get("module_name"),
                  "function_name": message.get("function_name"), "success": ok}
        if not ok:
            answer["error"] = error_record(value)
        answer["logs"] = logs
        held.append(value)
        del value
        self.send_answer(answer, lambda exc: dict(answer, success=False, error=error_record(exc)))
        self.release_later(held)

    def run_module(self, message):
        """The IDE runs a module's function: its output and any failure go to the IDEs."""
        try:
            value = run_to_value(resolve(self.modules.load(message.get("module_name")),
                                         message.get("function_name"))())
            if value is not None:
                print(repr(value))
        except BaseException as exc:
            sys.stderr.write(error_record(exc)["traceback"])

    def call_callable(self, message, held):
        callable_id = message.get("callable_id")
        # An id that is no text names no callable, like any unknown text.
        function = self.messaging.get_callable(callable_id) if type(callable_id) is str else None
        if function is None:
            raise LookupError(f"Unknown callable: {callable_id}")
        args, kwargs = from_wire_args(message.get("args"))
        held += (args, kwargs)
        value = run_to_value(function(*args, **kwargs))
        held.append(value)
        return panticle.Serializer.to_wire(value)

    def run_callable(self, message):
        """A callable handed out by user code, called by the add-in: the answer
        is the response envelope the add-in waits for."""
        held = []
        answer = {"kind": "response", "requestId": message.get("request_id")}
        try:
            answer["result"] = self.call_callable(message, held)
            answer["ok"] = True
        except BaseException as exc:
            held.append(exc)
            answer["ok"] = False
            answer["error"] = error_record(exc)
        self.send_answer(dict(answer, type="sys_request"),
                         lambda exc: dict(answer, type="sys_request", ok=False, result=None, error=error_record(exc)))
        self.release_later(held)

    # -- streaming -----------------------------------------------------------------------

    def on_stream_start(self, message):
        rid = message.get("request_id")
        cancelled = threading.Event()
        with self.streams_lock:
            if rid in self.early_cancels:  # its cancel overtook it
                self.early_cancels.remove(rid)
                cancelled.set()
            self.streams[rid] = cancelled
        threading.Thread(target=self.guarded, args=(self.run_stream, message), daemon=True,
                         name=f"kernel-stream-{rid}").start()

    def on_stream_cancel(self, message):
        rid = message.get("request_id")
        with self.streams_lock:
            cancelled = self.streams.get(rid)
            if cancelled is None:
                self.early_cancels.append(rid)
                del self.early_cancels[:-MAX_EARLY_CANCELS]
                return
        cancelled.set()

    def run_stream(self, message):
        rid = message.get("request_id")
        with self.streams_lock:
            cancelled = self.streams[rid]
        held = []
        if self.loop is None:  # nothing sends for it: each message is handed over as it comes
            def result(**fields):
                self.send(dict({"type": "streaming_function_result", "request_id": rid}, **fields))
            ended = result
        else:
            values = StreamValues(self.outbox, self.stream_pace, stream_cost)
            paused = [time.monotonic()]

            def result(**fields):
                texts = message_texts(dict({"type": "streaming_function_result", "request_id": rid}, **fields))
                if values.offer(texts) and time.monotonic() - paused[0] >= STREAM_PAUSE_EVERY:
                    time.sleep(STREAM_PAUSE)
                    paused[0] = time.monotonic()

            def ended(**fields):
                texts = message_texts(dict({"type": "streaming_function_result", "request_id": rid}, **fields))
                values.end(texts, held.clear)
        try:
            try:
                self.stream_values(message, cancelled, held, result)
            except BaseException as exc:
                held.append(exc)
                record = error_record(exc)
                ended(error=f"{record['type']}: {record['message']}", traceback=record["traceback"], done=True)
            else:
                if cancelled.is_set():
                    ended(done=True, cancelled=True)
                else:
                    ended(done=True)
        finally:
            with self.streams_lock:
                self.streams.pop(rid, None)
        if self.loop is None:
            held.clear()

    def stream_values(self, message, cancelled, held, result):
        """Runs the stream, handing each value to result(); its end is the caller's."""
        if cancelled.is_set():
            return
        module = self.modules.load(message.get("module_name"))
        function = resolve(module, message.get("function_name"))
        args, kwargs = from_wire_args(message.get("args"))
        held += (args, kwargs)
        produced = function(*args, **kwargs)
        held.append(produced)
        for value in iterate(produced, cancelled):
            result(result=panticle.Serializer.to_wire(value), done=False)


def message_texts(message):
    """The texts that carry a message; raises when it cannot travel (see Kernel.send)."""
    texts = wire_json.frames(message)
    if message.get("type") in ORDERED_TYPES:
        texts = [Alone(text) for text in texts]
    return texts


def stream_cost(texts):
    return 1 + sum(map(len, texts)) // STREAM_COST_UNIT


class NoInput(io.TextIOBase):
    """The kernel's sys.stdin: nobody types into a kernel, so a read fails at
    once instead of waiting on whatever input the master was started with."""

    @property
    def encoding(self):
        return "utf-8"

    def readable(self):
        return True

    def fileno(self):
        raise io.UnsupportedOperation(NO_INPUT)

    def read(self, size=-1):
        raise EOFError(NO_INPUT)

    def readline(self, size=-1):
        raise EOFError(NO_INPUT)

    def readlines(self, hint=-1):
        raise EOFError(NO_INPUT)


def detach_stdin():
    """Points file descriptor 0 at the null device, for code that reads it
    directly and for the processes that workbook code starts."""
    try:
        null = os.open(os.devnull, os.O_RDONLY)
    except OSError:
        return
    try:
        os.dup2(null, 0)
    except OSError:
        pass
    finally:
        if null != 0:
            os.close(null)


def remove_paths(paths):
    for path in paths:
        while path in sys.path:
            sys.path.remove(path)


def standby(master_pid):
    """Holds the workbook's process without connecting back (for tests that play
    the kernel themselves), still ending once the master is gone."""
    while os.getppid() == master_pid:
        time.sleep(PARENT_CHECK_INTERVAL)


def own_logging(workbook_id):
    """The kernel's diagnostics go to its own stream through its own loggers.
    The root logger stays unconfigured: it is the workbook code's, whose
    records then go where a plain program's would, to its sys.stderr."""
    try:
        level = logging_config.level_from(os.environ)
    except ValueError:
        level = logging.INFO
    handler = logging.StreamHandler(sys.__stderr__)
    handler.setFormatter(logging_config.OneLineFormatter(f"%(asctime)s %(levelname)s kernel[{workbook_id}]: "
                                                         "%(message)s"))
    for name in OWN_LOGGERS:
        logger = logging.getLogger(name)
        logger.handlers[:] = [handler]
        logger.setLevel(level)
        logger.propagate = False


USAGE = "usage: python -m tavrino_master.python_server <workbook_id> <port>"


def main(argv=None, master_pid=None):
    args = sys.argv[1:] if argv is None else argv
    if len(args) != 2 or not args[0] or not args[1].isdigit():
        print(USAGE, file=sys.stderr)
        return 2
    if master_pid is None:
        master_pid = os.getppid()
    if master_pid == 1:  # orphaned before it began: the master is gone
        return 0
    own_logging(args[0])
    try:
        if os.environ.get("TAVRINO_KERNEL_STANDBY", "") not in ("", "0"):
            standby(master_pid)
        else:
            Kernel(args[0], int(args[1]), master_pid=master_pid).run()
    except KeyboardInterrupt:
        pass
    return 0
