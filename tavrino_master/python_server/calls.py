"""What the kernel program's calls share: arguments from the wire, awaiting
results, stream values, the error record a failure becomes, and output capture."""
import asyncio
import inspect
import io
import traceback

from tavrino_master.python_server.tavrino import panticle

OWN_FRAMES = ("tavrino_master.python_server", "importlib", "asyncio")


def error_record(exc):
    """What a failure tells the add-in: message, type and the user's part of the traceback."""
    tb = exc.__traceback__
    # Frames of this program and of the import machinery come first; the
    # user's code starts after them.
    while tb is not None and str(tb.tb_frame.f_globals.get("__name__")).startswith(OWN_FRAMES):
        tb = tb.tb_next
    try:
        text = str(exc)
    except Exception:
        text = f"<{type(exc).__name__} whose text cannot be shown>"
    return {"message": text, "type": type(exc).__name__,
            "traceback": "".join(traceback.format_exception(type(exc), exc, tb))}


def resolve(obj, dotted):
    for part in dotted.split("."):
        obj = getattr(obj, part)
    return obj


def from_wire_args(args):
    """Positional and keyword arguments from a list of wire values or call-argument records."""
    positional, named = [], {}
    for arg in args or []:
        if isinstance(arg, dict) and arg.get("arg_type") in ("PLACED", "NAMED"):
            value = panticle.Serializer.from_wire(arg.get("value"))
            if arg["arg_type"] == "NAMED":
                named[arg.get("name")] = value
            else:
                positional.append(value)
        else:
            positional.append(panticle.Serializer.from_wire(arg))
    return positional, named


def run_to_value(value):
    """An awaitable returned by user code runs in a loop of this worker thread."""
    if inspect.isawaitable(value):
        return asyncio.run(_await(value))
    return value


async def _await(awaitable):
    return await awaitable


def iterate(produced, cancelled):
    """The values of a stream until it ends or is cancelled: a generator, an
    async generator, or the single value of a plain function."""
    if inspect.isasyncgen(produced):
        loop = asyncio.new_event_loop()
        try:
            while not cancelled.is_set():
                try:
                    value = loop.run_until_complete(produced.__anext__())
                except StopAsyncIteration:
                    return
                yield value
        finally:
            loop.run_until_complete(produced.aclose())
            loop.close()
    elif inspect.isgenerator(produced):
        try:
            for value in produced:
                yield value
                if cancelled.is_set():
                    return
        finally:
            produced.close()
    else:
        yield run_to_value(produced)


class OutputRouter(io.TextIOBase):
    """Stands in for sys.stdout or sys.stderr: a thread inside a captured call
    writes into that call's logs, every other write goes to the IDEs."""

    def __init__(self, kernel, stream_name, fallback):
        self._kernel = kernel
        self._name = stream_name
        self._fallback = fallback

    @property
    def encoding(self):
        return "utf-8"

    def writable(self):
        return True

    def write(self, text):
        capture = getattr(self._kernel.captures, "buffer", None)
        if capture is not None:
            capture.write(text)
        elif text:
            if not self._kernel.output(self._name, text):
                self._fallback.write(text)
        return len(text)

    def flush(self):
        self._fallback.flush()
