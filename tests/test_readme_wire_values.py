"""The docs' wire-value table for add-in authors: every example parses, every
type is there, and each example is what the kernel's serializer reads as the
Python value the table names and writes back for it."""
import datetime as dt

import pytest

from readme_examples import range_example, wire_table
from tavrino_master.python_server.tavrino import panticle

S = panticle.Serializer
TAGS = ["Null", "Bool", "Int", "Float", "String", "Date", "Bytes", "Array", "Dict", "Python_Function"]
PYTHON_TYPE = {"Null": type(None), "Bool": bool, "Int": int, "Float": float, "String": str, "Date": dt.datetime,
               "Bytes": bytes, "Array": panticle.OfficeJsArray, "Dict": panticle.OfficeJsDict}

pytestmark = pytest.mark.usefixtures("clean_messaging")
ROWS = wire_table()


def test_the_table_names_every_type_once_with_an_example_of_it():
    named = [names for names, _ in ROWS]
    assert [n[0] for n in named[:len(TAGS)]] == TAGS
    assert all(example["type"] in names for names, example in ROWS)
    office = [example for names, example in ROWS if names[0] not in TAGS]
    assert len(office) == 1 and office[0]["isSpec"] is True and isinstance(office[0]["value"], int)
    for names, example in ROWS:
        assert set(example) - {"id"} == {"type", "value", "isSpec"}, example
        # the add-in's containers carry their id; nothing else does
        assert ("id" in example) == (example["type"] in ("Array", "Dict")), example


@pytest.mark.parametrize("example", [e for _, e in ROWS if e["type"] in PYTHON_TYPE], ids=lambda e: e["type"])
def test_plain_data_examples_read_as_their_python_value_and_write_back_unchanged(example):
    value = S.from_wire(example)
    assert type(value) is PYTHON_TYPE[example["type"]]
    assert S.to_wire(value) == {k: v for k, v in example.items() if k != "id"}  # the kernel's have no id


def test_the_callable_and_office_object_examples():
    [function] = [e for _, e in ROWS if e["type"] == "Python_Function"]
    with pytest.raises(ValueError):  # not taken back from the add-in
        S.from_wire(function)
    sent = S.to_wire(lambda x: x)
    assert (sent["type"], sent["isSpec"]) == (function["type"], function["isSpec"])
    assert sent["value"].startswith("pyfunc_") and function["value"].startswith("pyfunc_")

    [office] = [e for names, e in ROWS if names[0] not in TAGS]
    proxy = S.from_wire(office)
    assert type(proxy) is panticle.OfficeJsObject
    assert (proxy._internal_typeName, proxy._internal_id) == (office["type"], office["value"])
    assert S.to_wire(proxy) == office


def test_the_range_example_reads_as_rows_of_its_ids():
    _, _, call, _ = range_example()
    [argument] = call["args"]
    rows = S.from_wire(argument)
    assert rows._internal_id == argument["id"]
    assert [row._internal_id for row in rows] == [r["id"] for r in argument["value"]]
    assert [list(row) for row in rows] == [[float(c["value"]) for c in r["value"]] for r in argument["value"]]
