"""Logging set-up of the master: plain standard-library loggers."""
import logging
import os

LEVEL_VARIABLE = "TAVRINO_LOG_LEVEL"
DEFAULT_LEVEL = "INFO"

_configured = False


def level_named(text):
    """The logging level of a level name in any case ("warning", "INFO", ...); ValueError
    naming the accepted ones for anything else."""
    name = str(text).strip().upper()
    levels = logging.getLevelNamesMapping()
    if name in levels:
        return levels[name]
    raise ValueError(f"unknown log level {text!r} (use DEBUG, INFO, WARNING, ERROR or CRITICAL)")


def level_from(environ):
    """The level that TAVRINO_LOG_LEVEL names (INFO when unset); ValueError when it names none."""
    return level_named(environ.get(LEVEL_VARIABLE) or DEFAULT_LEVEL)


# Every character that could start a new line or move the cursor in a terminal.
_CONTROLS = {c: f"\\x{c:02x}" for c in [*range(0x20), 0x7f, *range(0x80, 0xa0)]}
_CONTROLS.update({ord("\n"): "\\n", ord("\r"): "\\r", ord("\t"): "\\t", 0x2028: "\\u2028", 0x2029: "\\u2029"})


def escape_controls(text):
    """text with its control characters written as escapes, so that it stays on one line."""
    return text if text.isprintable() else text.translate(_CONTROLS)


class OneLineFormatter(logging.Formatter):
    """Writes each record's message on one line: clients put their own text into messages
    (names, ids, paths), and a line feed there would forge a log line. A traceback still
    follows on lines of its own."""

    def formatMessage(self, record):
        record.message = escape_controls(record.message)
        return super().formatMessage(record)


def get_logger(name):
    """Return the standard logger `name`; the root gets one stderr handler once."""
    global _configured
    if not _configured:
        _configured = True
        root = logging.getLogger()
        if not root.handlers:
            handler = logging.StreamHandler()
            handler.setFormatter(OneLineFormatter("%(asctime)s %(levelname)s %(name)s: %(message)s"))
            root.addHandler(handler)
            try:
                root.setLevel(level_from(os.environ))
            except ValueError:  # the host program refuses it with a clear message
                root.setLevel(DEFAULT_LEVEL)
    return logging.getLogger(name)
