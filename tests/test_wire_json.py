"""The kernel program's JSON encoder: every text parses under JavaScript's rules."""
import json
import math
import random

import numpy as np
import pandas as pd
import pytest

from tavrino_master.python_server.tavrino import panticle
from tavrino_master.python_server.wire_json import dumps, frames

NAN, INF = float("nan"), float("inf")


def strict_loads(text):
    """json.loads that refuses what JSON.parse refuses."""
    def refuse(token):
        raise ValueError(f"JSON.parse would refuse {token}")
    return json.loads(text, parse_constant=refuse)


def rec(tag, value, spec=False):
    return {"type": tag, "value": value, "isSpec": spec}


MISSING = rec("Null", None)


@pytest.mark.parametrize("message, expected", [
    (rec("Float", NAN), MISSING),
    (rec("Float", INF), rec("String", "Infinity")),
    (rec("Float", -INF), rec("String", "-Infinity")),
    (rec("Float", 1.5), rec("Float", 1.5)),
    # Bare values anywhere else: NaN is null, the infinities are texts.
    ({"logs": [NAN, INF, -INF, 0.5]}, {"logs": [None, "Infinity", "-Infinity", 0.5]}),
    ({"error": {"detail": {"x": NAN}}}, {"error": {"detail": {"x": None}}}),
    ({"type": "Int", "value": NAN}, {"type": "Int", "value": None}),
    ({"value": NAN, "type": "Float"}, {"value": None, "type": "Float"}),
    # Texts that look like the tokens stay texts.
    ({"NaN": "NaN", "Infinity": ":NaN,", "-Infinity": "[-Infinity]"},
     {"NaN": "NaN", "Infinity": ":NaN,", "-Infinity": "[-Infinity]"}),
    ({"a": 'say "x":NaN,', "b": NAN}, {"a": 'say "x":NaN,', "b": None}),
    ({"a": "ends in a backslash \\", "b": INF, "c": "\\\":NaN}"},
     {"a": "ends in a backslash \\", "b": "Infinity", "c": "\\\":NaN}"}),
    ({"a": '{"type":"Float","value":NaN}', "b": [rec("Float", NAN)]},
     {"a": '{"type":"Float","value":NaN}', "b": [MISSING]}),
    (NAN, None),
    ([-INF], ["-Infinity"]),
    ({"type": "batch", "results": [{"result": rec("Array", [rec("Float", NAN), rec("Float", 2.0)])}]},
     {"type": "batch", "results": [{"result": rec("Array", [MISSING, rec("Float", 2.0)])}]}),
    ({"unicode": "\ud800 é ✓", "n": NAN}, {"unicode": "\ud800 é ✓", "n": None}),
])
def test_non_finite_numbers_never_leave_as_numbers(message, expected):
    assert strict_loads(dumps(message)) == expected


def reference(value):
    """The rewrite spelled out as a walk over the message."""
    if isinstance(value, float) and not math.isfinite(value):
        return None if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
    if isinstance(value, dict):
        if list(value)[:2] == ["type", "value"] and value["type"] == "Float" and isinstance(value["value"], float) \
                and not math.isfinite(value["value"]):
            v = value["value"]
            return dict(value, type="Null" if math.isnan(v) else "String", value=reference(v))
        return {k: reference(v) for k, v in value.items()}
    if isinstance(value, list):
        return [reference(v) for v in value]
    return value


PIECES = ["NaN", "-Infinity", "Infinity", '"', "\\", ":", ",", "[", "]", "{", "}", "x", " ", "type", "Float"]


def random_message(rng, depth=0):
    roll = rng.random()
    if depth > 3 or roll < 0.45:
        return rng.choice([NAN, INF, -INF, 1.25, -3, None, True,
                           "".join(rng.choice(PIECES) for _ in range(rng.randrange(6)))])
    if roll < 0.6:
        return rec("Float", rng.choice([NAN, INF, -INF, 2.5]))
    if roll < 0.8:
        return [random_message(rng, depth + 1) for _ in range(rng.randrange(4))]
    return {"".join(rng.choice(PIECES) for _ in range(3)) + str(i): random_message(rng, depth + 1)
            for i in range(rng.randrange(4))}


@pytest.mark.parametrize("seed", range(8))
def test_rewrite_agrees_with_a_walk_over_random_messages(seed):
    rng = random.Random(seed)
    for _ in range(300):
        message = random_message(rng)
        assert strict_loads(dumps(message)) == reference(message), message


@pytest.mark.parametrize("value", [
    float("nan"), np.float64("nan"), np.float32("nan"), np.float16("nan"), np.longdouble("nan"),
    pd.NA, pd.NaT, np.datetime64("NaT"), None,
])
def test_missing_markers_travel_as_the_missing_value(value):
    assert strict_loads(dumps(panticle.Serializer.to_wire(value))) == MISSING


def test_frame_with_missing_values_has_null_cells():
    frame = pd.DataFrame({
        "f": [1.5, np.nan, INF],
        "f32": np.array([np.nan, 2, -np.inf], dtype=np.float32),
        "i": pd.array([1, None, 3], dtype="Int64"),
        "o": ["a", None, np.nan],
        "d": pd.to_datetime(["2024-05-01", None, "2024-05-03"]),
    })
    rows = [[cell["type"] for cell in row["value"]]
            for row in strict_loads(dumps(panticle.Serializer.to_wire(frame)))["value"][1:]]
    assert rows == [["Float", "Null", "Int", "String", "Date"],
                    ["Null", "Float", "Null", "Null", "Null"],
                    ["String", "String", "Int", "Null", "Date"]]


@pytest.mark.parametrize("message", [{"logs": {1, 2}}, {"result": {(1, 2): "tuple key"}}])
def test_what_json_cannot_write_is_refused(message):
    # The kernel program answers those with an error instead.
    with pytest.raises(TypeError):
        dumps(message)


@pytest.mark.parametrize("length, pieces", [(99, 1), (100, 1), (101, 2), (200, 2), (201, 3)])
def test_long_messages_go_in_chunks_that_rebuild_the_text(length, pieces):
    message = {"type": "stdout", "content": "x" * (length - 32) + '"'}
    text = dumps(message)
    assert len(text) == length
    sent = [strict_loads(t) for t in frames(message, chunk_size=100)]
    if pieces == 1:
        assert sent == [message]
        return
    assert {(c["type"], c["chunk_id"], c["total_chunks"], c["original_type"]) for c in sent} == {
        ("chunk", sent[0]["chunk_id"], pieces, "stdout")}
    assert [c["chunk_index"] for c in sent] == list(range(pieces))
    assert "".join(c["data"] for c in sent) == text
