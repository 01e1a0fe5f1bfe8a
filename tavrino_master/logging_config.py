"""Logging set-up of the master: plain standard-library loggers."""
import logging
import os

_configured = False


def get_logger(name):
    """Return the standard logger `name`; the root gets one stderr handler once."""
    global _configured
    if not _configured:
        _configured = True
        root = logging.getLogger()
        if not root.handlers:
            handler = logging.StreamHandler()
            handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s"))
            root.addHandler(handler)
            root.setLevel(os.environ.get("TAVRINO_LOG_LEVEL", "INFO"))
    return logging.getLogger(name)
