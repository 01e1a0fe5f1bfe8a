"""JSON text of the kernel program's outgoing messages.

The add-in parses every frame with JavaScript's JSON.parse, which refuses the
NaN, Infinity and -Infinity tokens that Python's json writes by default. So
non-finite floats never leave as numbers:

- a wire value {"type": "Float", "value": NaN, ...} becomes the missing value
  {"type": "Null", "value": null, ...}, and one holding an infinity becomes
  {"type": "String", "value": "Infinity" / "-Infinity", ...};
- any other NaN (in logs, errors, nested data) becomes null, and any other
  infinity the text "Infinity" or "-Infinity".

A message is encoded once by json's C encoder. Only when the text holds one
of the non-finite tokens is it rewritten: wire records by plain replacement
(their quotes cannot stand unescaped inside a string), other tokens one by
one. A large result costs a few C passes, not a walk in Python over every value.
"""
import json
import uuid

from tavrino_master.python_server.tavrino import panticle

_encoder = json.JSONEncoder(separators=(",", ":"))

# Characters of JSON text per "chunk" piece, as the master cuts its own long
# messages. A long message goes out in pieces: the master's server refuses
# frames beyond its size limit (16 MiB by default), and reassembles pieces.
CHUNK_SIZE = 65536
# What the master accepts of one message, from the bounds compiled into both
# sides: its JSON text in characters, and its nesting. A message the outbox
# packs into a "batch" sits two levels deeper in that frame.
MAX_CHARACTERS = panticle.MAX_MESSAGE_CHARACTERS
BATCH_LEVELS = 2
MAX_DEPTH = panticle.MAX_FRAME_DEPTH - BATCH_LEVELS


class MessageTooLarge(ValueError):
    """A message the master would refuse for its size; never sent."""


class MessageTooDeep(ValueError):
    """A message nested more deeply than the master parses; never sent."""

_IN_RECORD = (
    ('{"type":"Float","value":NaN', '{"type":"Null","value":null'),
    ('{"type":"Float","value":Infinity', '{"type":"String","value":"Infinity"'),
    ('{"type":"Float","value":-Infinity', '{"type":"String","value":"-Infinity"'),
)
_BARE = {"NaN": "null", "Infinity": '"Infinity"', "-Infinity": '"-Infinity"'}


def _positions(text, word):
    found = []
    at = text.find(word)
    while at >= 0:
        found.append(at)
        at = text.find(word, at + len(word))
    return found


def _rewrite_bare(text):
    # Escaped backslashes blanked out, so that the quotes left standing after
    # a backslash are exactly the escaped ones.
    plain = text.replace("\\\\", "  ")
    out = []
    copied = 0  # text[:copied] is in out
    counted = 0  # quotes are counted up to here
    inside = False  # whether `counted` lies inside a string
    for at in sorted(_positions(text, "NaN") + _positions(text, "Infinity")):
        token = "NaN" if text[at] == "N" else "Infinity"
        end = at + len(token)
        if token == "Infinity" and at > 0 and text[at - 1] == "-":
            at -= 1
            token = "-Infinity"
        # A number token stands after one of ":,[" (or opens the text) and
        # before one of ",]}" (or ends it); anything else is part of a string.
        if (at > 0 and text[at - 1] not in ":,[") or (end < len(text) and text[end] not in ",]}"):
            continue
        quotes = plain.count('"', counted, at) - plain.count('\\"', counted, at)
        counted = at
        inside ^= quotes & 1
        if inside:
            continue
        out.append(text[copied:at])
        out.append(_BARE[token])
        copied = end
    out.append(text[copied:])
    return "".join(out)


def dumps(message) -> str:
    """The JSON text of one outgoing message, without non-finite numbers."""
    text = _encoder.encode(message)
    if "NaN" in text or "Infinity" in text:
        for record, replacement in _IN_RECORD:
            text = text.replace(record, replacement)
        if "NaN" in text or "Infinity" in text:
            text = _rewrite_bare(text)
    return text


def checked(message, max_characters=MAX_CHARACTERS, max_depth=MAX_DEPTH) -> str:
    """The JSON text of one message that the master accepts; MessageTooLarge
    or MessageTooDeep, naming the measure and the limit, for one it would not."""
    text = dumps(message)
    if len(text) > max_characters:
        raise MessageTooLarge(f"Message too large to send: its JSON text has {len(text):,} characters, "
                              f"more than the limit of {max_characters:,}")
    depth = panticle._json_depth(text)
    if depth > max_depth:
        raise MessageTooDeep(f"Message nested too deeply to send: {depth} levels of arrays and objects, "
                             f"more than the limit of {max_depth}")
    return text


def frames(message, chunk_size=CHUNK_SIZE):
    """The texts to send for one message: its JSON text, or, when that is
    longer than chunk_size, the "chunk" messages that carry it in pieces.
    Raises, sending nothing, for a message the master would refuse."""
    text = checked(message)
    if len(text) <= chunk_size:
        return [text]
    chunk_id = str(uuid.uuid4())
    total = (len(text) + chunk_size - 1) // chunk_size
    original_type = message.get("type", "unknown") if isinstance(message, dict) else "unknown"
    return [_encoder.encode({"type": "chunk", "chunk_id": chunk_id, "chunk_index": i, "total_chunks": total,
                             "data": text[i * chunk_size:(i + 1) * chunk_size], "original_type": original_type})
            for i in range(total)]
