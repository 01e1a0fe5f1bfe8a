"""Wire tags and container walks of the serializer: exact tag matching, fresh records, lists that change while
they convert, and mappings read through their own items()."""
import datetime as dt
import json

import pytest

from tavrino_master.python_server.tavrino import panticle

S = panticle.Serializer
messaging = panticle.messaging


@pytest.fixture(autouse=True)
def fresh_context():
    """Callables registered by a test leave with its messaging context."""
    yield
    messaging.reset()


class StrSub(str):
    pass


# Only the exact tag texts are tags; anything else with no isSpec is text.
@pytest.mark.parametrize("tag, value, expected", [
    ("Int", "7", 7),
    (StrSub("Int"), "7", 7),
    (StrSub("Float"), "1.5", 1.5),
    ("int", "7", "7"),
    ("Int ", "7", "7"),
    ("In", "7", "7"),
    ("Nul", 5, "5"),
    ("Nulll", 5, "5"),
    ("Strin", 5, "5"),
    ("Dicts", 5, "5"),
    ("Arra", [1], "[1]"),
    ("\u00cfnt", "7", "7"),
    ("Int\u2603", "7", "7"),
    ("Python_Function", "pyfunc_1", "pyfunc_1"),
    (3, "7", "7"),
])
def test_only_exact_tag_texts_select_a_conversion(tag, value, expected):
    got = S.from_wire({"type": tag, "value": value})
    assert got == expected and type(got) is type(expected)


def a_function():
    return 1


@pytest.mark.parametrize("value, tag, spec", [
    (None, "Null", False),
    (True, "Bool", False),
    (3, "Int", False),
    (2.5, "Float", False),
    ("s", "String", False),
    (dt.date(2024, 5, 1), "Date", False),
    (b"x", "Bytes", False),
    ([1], "Array", False),
    ({"k": 1}, "Dict", False),
    (a_function, "Python_Function", True),
])
def test_every_record_is_a_fresh_dict_in_wire_order(value, tag, spec):
    first = S.to_wire(value)
    assert list(first) == ["type", "value", "isSpec"]
    assert first["type"] == tag and first["isSpec"] is spec
    text = json.dumps(first)
    first["value"] = "changed"
    first["extra"] = 1
    second = S.to_wire(value)
    assert list(second) == ["type", "value", "isSpec"] and second["type"] == tag
    if tag != "Python_Function":  # each registration gives a new callable id
        assert json.dumps(second) == text


def test_a_list_that_grows_while_converting_gives_every_item():
    items = []

    class Adds:
        def __str__(self):
            items.extend([2, 3])
            return "adds"

    items.extend([Adds(), 1])
    got = S.to_wire(items)
    assert [r["value"] for r in got["value"]] == ["adds", 1, 2, 3]


class Index:
    """An id whose conversion to int runs `effect` first."""

    def __init__(self, n, effect):
        self.n, self.effect = n, effect

    def __index__(self):
        self.effect()
        return self.n


@pytest.mark.parametrize("change, expected_ids", [
    ("clear", [1]),
    ("append", [1, 2, 9]),
    ("none", [1, 2]),
])
def test_a_wire_list_that_changes_while_converting(change, expected_ids):
    items = []
    extra = {"type": "Range", "value": 9, "isSpec": True}
    effects = {"clear": items.clear, "append": lambda: items.append(extra), "none": lambda: None}
    items.extend([{"type": "Range", "value": Index(1, effects[change]), "isSpec": True},
                  {"type": "Range", "value": 2, "isSpec": True}])
    got = S.from_wire({"type": "Array", "id": 5, "value": items})
    assert type(got) is panticle.OfficeJsArray and got._internal_id == 5
    assert [p._internal_id for p in got] == expected_ids


def test_a_wire_array_of_any_iterable():
    value = ({"type": "Int", "value": 1}, {"type": "String", "value": "a"})
    assert S.from_wire({"type": "Array", "id": 1, "value": value}) == [1, "a"]
    assert S.from_wire({"type": "Array", "id": 1, "value": iter(value)}) == [1, "a"]


class OwnItems(dict):
    """A mapping whose items() is its own: each stored value passed through `make`."""

    def __init__(self, make, **entries):
        super().__init__(**entries)
        self.make = make

    def items(self):
        for k, v in dict.items(self):
            yield self.make(k, v)


def doubled(k, v):
    return k, v * 2


def as_int_record(k, v):
    return k, {"type": "Int", "value": v}


def three(k, v):
    return k, v, "third"


def test_mappings_other_than_dict_are_read_through_items():
    got = S.to_wire(OwnItems(doubled, a=1, b="x"))
    assert got["type"] == "Dict" and got["value"] == {"a": {"type": "Int", "value": 2, "isSpec": False},
                                                      "b": {"type": "String", "value": "xx", "isSpec": False}}
    proxy = S.from_wire({"type": "Dict", "id": 4, "value": OwnItems(as_int_record, a=1, b=2)})
    assert type(proxy) is panticle.OfficeJsDict and proxy._internal_id == 4 and proxy == {"a": 1, "b": 2}


@pytest.mark.parametrize("convert", [
    lambda m: S.to_wire(m),
    lambda m: S.from_wire({"type": "Dict", "id": 1, "value": m}),
], ids=["to_wire", "from_wire"])
def test_items_that_are_not_pairs_are_refused(convert):
    with pytest.raises(ValueError, match=r"items\(\) must give \(key, value\) pairs"):
        convert(OwnItems(three, a={"type": "Int", "value": 1}))
