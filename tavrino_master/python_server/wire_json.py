"""The one JSON encoder of every message the kernel program sends."""
import json


def dumps(message):
    """The JSON text of one outgoing message."""
    return json.dumps(message)
