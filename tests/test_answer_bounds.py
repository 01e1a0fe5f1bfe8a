"""The kernel program's measures of what the master accepts, and its cutting of
long texts, in process."""
import json

import pytest

from tavrino_master.python_server import wire_json
from tavrino_master.python_server.calls import CapturedOutput, cut
from tavrino_master.python_server.tavrino import panticle


def nested(depth, leaf=0):
    for _ in range(depth):
        leaf = [leaf]
    return leaf


@pytest.mark.parametrize("value", [
    0, "[[[{{{", [], {}, nested(1), nested(7), [nested(3), nested(5), {"a": [nested(2)]}],
    # brackets and escaped quotes inside texts are not nesting
    ["\\", '"[', "\\\"[[", '\\\\"', {"k]": "{\\"}], nested(4, "]]]\"\\[[["),
    # texts held in two and four bytes a character
    [["\u00e9\u20ac[", ["\U0001F600{"]]],
])
def test_json_depth_counts_arrays_and_objects_outside_texts(value):
    def depth(v):
        if isinstance(v, list):
            return 1 + max(map(depth, v), default=0)
        if isinstance(v, dict):
            return 1 + max(map(depth, v.values()), default=0)
        return 0
    for text in (json.dumps(value), json.dumps(value, ensure_ascii=False)):
        assert panticle._json_depth(text) == depth(value), text


def test_the_bounds_are_the_masters_and_a_message_at_them_passes():
    from tavrino_master.business_layer import relvane
    assert panticle.MAX_MESSAGE_CHARACTERS == 32 * relvane.MAX_MESSAGE_SIZE
    text = wire_json.checked({"v": nested(wire_json.MAX_DEPTH - 1)})
    assert panticle._json_depth(text) == wire_json.MAX_DEPTH
    with pytest.raises(wire_json.MessageTooDeep, match=f"{wire_json.MAX_DEPTH + 1} levels .* limit of "
                                                       f"{wire_json.MAX_DEPTH}$"):
        wire_json.frames({"v": nested(wire_json.MAX_DEPTH)})
    exact = {"v": "x" * (1000 - len('{"v":""}'))}
    assert len(wire_json.checked(exact, max_characters=1000)) == 1000
    with pytest.raises(wire_json.MessageTooLarge, match="has 1,001 characters, more than the limit of 1,000$"):
        wire_json.checked({"v": exact["v"] + "x"}, max_characters=1000)
    # measured as JSON writes it, not as Python counts it
    with pytest.raises(wire_json.MessageTooLarge, match="has 6,008 characters"):
        wire_json.checked({"v": "\u00e9" * 1000}, max_characters=1000)


@pytest.mark.parametrize("pieces", [
    ["a" * 10] * 3,  # within the limit
    ["0123456789"] * 50,  # trimmed several times
    ["x" * 1000],  # one write beyond it
    ["ab"] * 7 + ["c" * 300] + ["de"] * 7,
])
def test_captured_output_keeps_its_beginning_and_end_and_counts_what_is_cut(pieces):
    limit = 40
    captured = CapturedOutput(limit)
    for piece in pieces:
        captured.write(piece)
        if captured.tell() > 2 * limit:  # as the output router does
            captured.trim()
        assert captured.tell() <= 2 * limit + len(piece)
    assert captured.getvalue() == cut("".join(pieces), limit)
