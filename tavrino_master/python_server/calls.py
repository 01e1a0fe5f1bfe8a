"""What the kernel program's calls share: arguments from the wire, awaiting
results, stream values, the error record a failure becomes, and output capture."""
import asyncio
import inspect
import io
import traceback

from tavrino_master.python_server.tavrino import panticle

OWN_FRAMES = ("tavrino_master.python_server", "importlib", "asyncio")
# Characters kept of a call's logs, of an error's message and of its
# traceback. Beyond that the middle is cut, with a marker saying how much, so
# that an answer still fits what the master accepts (even a text that JSON
# writes as six characters per character).
TEXT_LIMIT = 1024 * 1024


def cut_marker(count):
    return f"\n... [{count:,} characters cut] ...\n"


def cut(text, limit=TEXT_LIMIT):
    """`text` whole when it holds at most `limit` characters; otherwise its
    beginning and its end around a marker."""
    if len(text) <= limit:
        return text
    half = limit // 2
    return text[:half] + cut_marker(len(text) - 2 * half) + text[-half:]


class CapturedOutput(io.StringIO):
    """A call's output. Writes are the C buffer's own; once it holds more than
    twice `limit` characters, `trim` keeps its first and last `limit // 2`,
    so a call that prints without end holds bounded memory."""

    def __init__(self, limit=TEXT_LIMIT):
        super().__init__()
        self.limit = limit
        self.head = None  # the beginning, once trimmed
        self.dropped = 0

    def trim(self):
        half = self.limit // 2
        text = super().getvalue()
        if self.head is None:
            self.head, text = text[:half], text[half:]
        self.dropped += max(len(text) - half, 0)
        self.seek(0)
        self.truncate()
        super().write(text[-half:])

    def getvalue(self):
        text = super().getvalue()
        if self.head is None:
            return cut(text, self.limit)
        half = self.limit // 2
        dropped = self.dropped + max(len(text) - half, 0)
        return self.head + cut_marker(dropped) + text[-half:]


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
    try:
        shown = "".join(traceback.format_exception(type(exc), exc, tb))
    except Exception:  # a text that fails to show, or a traceback too deep to format
        shown = f"{type(exc).__name__}: {text}\n"
    return {"message": cut(text), "type": type(exc).__name__, "traceback": cut(shown)}


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
            if capture.tell() > 2 * capture.limit:
                capture.trim()
        elif text:
            if not self._kernel.output(self._name, text):
                self._fallback.write(text)
        return len(text)

    def flush(self):
        self._fallback.flush()
