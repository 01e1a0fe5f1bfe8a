"""The kernel bridge's serializer: values to and from the wire, callables, containers and tables."""
import base64
import datetime as dt
import math

import numpy as np
import pandas as pd
import pytest

from tavrino_master.python_server.tavrino import panticle

S = panticle.Serializer
messaging = panticle.messaging
UTC = dt.timezone.utc
PLUS2 = dt.timezone(dt.timedelta(hours=2))


def rec(tag, value, spec=False):
    return {"type": tag, "value": value, "isSpec": spec}


pytestmark = pytest.mark.usefixtures("clean_messaging")


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class Obj:
    def __str__(self):
        return "obj-text"


@pytest.mark.parametrize("value, expected", [
    (None, rec("Null", None)),
    (True, rec("Bool", True)),
    (False, rec("Bool", False)),
    (np.bool_(True), rec("Bool", True)),
    (1, rec("Int", 1)),
    (IntSub(7), rec("Int", 7)),
    (2 ** 70, rec("Int", 2 ** 70)),
    (1.5, rec("Float", 1.5)),
    (np.float64(2.5), rec("Float", 2.5)),
    (FloatSub(0.25), rec("Float", 0.25)),
    (float("inf"), rec("Float", float("inf"))),
    ("x", rec("String", "x")),
    (np.int64(5), rec("Int", 5)),
    (np.arange(4).sum(), rec("Int", 6)),
    (np.float32(1.5), rec("Float", 1.5)),
    (np.timedelta64(5, "s"), rec("String", "5 seconds")),
    (dt.datetime(2024, 5, 1, 12, tzinfo=PLUS2), rec("Date", "2024-05-01T10:00:00+00:00")),
    (dt.datetime(2024, 5, 1, 12), rec("Date", "2024-05-01T12:00:00")),
    (dt.date(2024, 5, 1), rec("Date", "2024-05-01")),
    (pd.Timestamp("2024-05-01 12:00", tz="Europe/Paris"), rec("Date", "2024-05-01T10:00:00+00:00")),
    (np.datetime64("2024-05-01"), rec("Date", "2024-05-01T00:00:00")),
    (np.datetime64("2024-05-01T12:00:00.5"), rec("Date", "2024-05-01T12:00:00.500")),
    (b"ab", rec("Bytes", "YWI=")),
    (bytearray(b"abcd"), rec("Bytes", "YWJjZA==")),
    (memoryview(b"abc"), rec("Bytes", "YWJj")),
    (b"", rec("Bytes", "")),
    ((1, 2), rec("Array", [rec("Int", 1), rec("Int", 2)])),
    ([True, [None]], rec("Array", [rec("Bool", True), rec("Array", [rec("Null", None)])])),
    ({1: "a", "b": [2]}, rec("Dict", {1: rec("String", "a"), "b": rec("Array", [rec("Int", 2)])})),
    (pd.NA, rec("Null", None)),
    (np.float32("nan"), rec("Null", None)),
    (np.float16("nan"), rec("Null", None)),
    (pd.NaT, rec("Null", None)),
    (np.datetime64("NaT"), rec("Null", None)),
    (Obj(), rec("String", "obj-text")),
    (1 + 2j, rec("String", "(1+2j)")),
    (dt.timedelta(hours=1), rec("String", "1:00:00")),
])
def test_to_wire_rules(value, expected):
    got = S.to_wire(value)
    assert got == expected
    assert list(got) == ["type", "value", "isSpec"]
    if expected["type"] in ("Int", "Float", "Bool"):
        assert type(got["value"]) is type(expected["value"])


INTEGER_TYPES = [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64, np.intc,
                 np.longlong, np.ulonglong]
FLOAT_TYPES = [np.float16, np.float32, np.float64, np.longdouble]


@pytest.mark.parametrize("dtype", INTEGER_TYPES)
def test_numpy_integers_travel_as_their_exact_value(dtype):
    info = np.iinfo(dtype)
    for value in (info.min, info.max, 0, 7):
        got = S.to_wire(dtype(value))
        assert got == rec("Int", value) and type(got["value"]) is int
    # 2**64 - 1 and the other extremes stay exact, not a rounded double
    assert S.to_wire(np.uint64(2 ** 64 - 1))["value"] == 2 ** 64 - 1


@pytest.mark.parametrize("dtype", FLOAT_TYPES)
def test_numpy_floats_travel_as_floats_and_nan_as_missing(dtype):
    got = S.to_wire(dtype(1.5))
    assert got == rec("Float", 1.5) and type(got["value"]) is float
    assert S.to_wire(dtype(-0.25)) == rec("Float", -0.25)
    if dtype is np.float64:  # a float: passes unchanged, as a plain float NaN does
        assert S.to_wire(dtype("nan"))["type"] == "Float"
    else:
        assert S.to_wire(dtype("nan")) == rec("Null", None)
    assert S.to_wire(dtype("inf")) == rec("Float", float("inf"))
    assert S.to_wire(dtype("-inf")) == rec("Float", float("-inf"))


def by_elements(a):
    """The reference: the array's nesting, each element converted alone."""
    if a.ndim == 0:
        return S.to_wire(a[()])
    return rec("Array", [by_elements(a[i]) if a.ndim > 1 else S.to_wire(a[i]) for i in range(len(a))])


OTHER_DTYPES = [np.bool_, "datetime64[D]", "datetime64[ns]", "<U3", object, np.complex128, ">i4", ">f8"]


@pytest.mark.parametrize("dtype", INTEGER_TYPES + FLOAT_TYPES + OTHER_DTYPES, ids=str)
@pytest.mark.parametrize("shape, layout", [
    ((), None), ((0,), None), ((5,), None), ((2, 3), None), ((2, 0, 3), None), ((2, 2, 2, 2), None),
    ((4, 6), lambda a: a[::2, ::-3]), ((3, 4), lambda a: a.T), ((2, 3), "misaligned"),
])
def test_arrays_travel_nested_like_tolist_with_each_element_by_the_scalar_rules(dtype, shape, layout):
    count = int(np.prod(shape))
    source = (np.arange(count) % 5 + 1).reshape(shape)
    if np.dtype(dtype).kind == "M":
        values = (np.datetime64("2024-05-01") + source).astype(dtype)
    elif np.dtype(dtype).kind == "U":
        values = source.astype(str).astype(dtype)
    elif np.dtype(dtype).kind == "O":
        values = np.empty(shape, dtype=object)
        values.flat[:] = [[1, "x", None, 2.5, (3,)][i % 5] for i in range(count)]
    else:
        values = source.astype(dtype)
        if values.dtype.kind == "f" and count:
            values.flat[0] = np.nan
    if layout == "misaligned":
        values = misaligned(values) if values.dtype != object else values
    elif layout:
        values = layout(values)
    got = S.to_wire(values)
    assert repr(got) == repr(by_elements(values))  # repr: NaN cells compare equal by their text
    if values.ndim:
        assert got["type"] == "Array" and len(got["value"]) == len(values.tolist())


def test_arrays_keep_numbers_exact_and_subclasses_say_what_they_hold():
    wire = S.to_wire(np.array([[1, 2], [3, 4]]))
    assert [[c["value"] for c in row["value"]] for row in wire["value"]] == [[1, 2], [3, 4]]
    assert S.to_wire(np.array([2 ** 64 - 1], dtype=np.uint64))["value"] == [rec("Int", 2 ** 64 - 1)]
    assert S.to_wire(np.array(3)) == rec("Int", 3)
    # a masked element is missing, as tolist() says
    assert S.to_wire(np.ma.masked_array([1, 2], mask=[False, True])) == rec("Array", [rec("Int", 1),
                                                                                     rec("Null", None)])
    # inside lists and dicts, as anywhere
    assert S.to_wire({"n": [np.int32(4), np.array([0.5])]}) == rec("Dict", {"n": rec("Array", [
        rec("Int", 4), rec("Array", [rec("Float", 0.5)])])})


def test_arrays_that_hold_themselves_or_deep_lists_raise_recursion_error():
    cyclic = np.empty(1, dtype=object)
    cyclic[0] = cyclic
    deep = None
    for _ in range(100_000):
        deep = [deep]
    holder = np.empty((), dtype=object)
    holder[()] = deep
    for value in (cyclic, holder, np.array([deep, 1], dtype=object)):
        with pytest.raises(RecursionError):
            S.to_wire(value)
    # the deepest array NumPy makes converts
    most = np.zeros((1,) * 32)
    assert str(S.to_wire(most)).count("Array") == 32


def test_string_subclass_and_nan_pass_unchanged():
    s = StrSub("sub")
    assert S.to_wire(s)["value"] is s
    nan = S.to_wire(float("nan"))
    assert nan["type"] == "Float" and math.isnan(nan["value"])


def test_callables_register_and_proxies_travel_as_references():
    def f():
        return 1

    a, b = S.to_wire(f), S.to_wire(f)
    assert a["type"] == "Python_Function" and a["isSpec"] is True
    assert a["value"] != b["value"] and a["value"].startswith("pyfunc_" + messaging._guid[:8])
    assert messaging.get_callable(a["value"]) is f
    assert S.to_wire(dict)["type"] == "Python_Function"
    assert S.to_wire(panticle.Excel) == rec("Excel", 1, True)
    proxy = panticle.OfficeJsObject(9, "Range")
    assert S.to_wire([proxy]) == rec("Array", [rec("Range", 9, True)])


def test_containers_from_the_addin_go_back_by_value_and_input_is_unchanged():
    arr = S.from_wire({"type": "Array", "id": 3, "value": [{"type": "Int", "value": 1}]})
    d = S.from_wire({"type": "Dict", "id": 4, "value": {"k": {"type": "String", "value": "v"}}})
    arr.append(2)
    d["n"] = None
    assert S.to_wire(arr) == rec("Array", [rec("Int", 1), rec("Int", 2)])
    assert S.to_wire(d) == rec("Dict", {"k": rec("String", "v"), "n": rec("Null", None)})
    value = {"a": [1, (2, 3)]}
    S.to_wire(value)
    assert value == {"a": [1, (2, 3)]}


def test_tables():
    frame = pd.DataFrame({"a": [1, 3], "b": [2, 4]}, index=["x", "y"])
    assert S.to_wire(frame) == rec("Array", [
        rec("Array", [rec("String", "a"), rec("String", "b")]),
        rec("Array", [rec("Int", 1), rec("Int", 2)]),
        rec("Array", [rec("Int", 3), rec("Int", 4)]),
    ])
    assert S.to_wire(pd.DataFrame(columns=["a", "b"])) == rec("Array", [
        rec("Array", [rec("String", "a"), rec("String", "b")])])
    assert S.to_wire(pd.Series([1.5, 2.5], name="s")) == rec("Array", [
        rec("Array", [rec("String", "s")]), rec("Array", [rec("Float", 1.5)]), rec("Array", [rec("Float", 2.5)])])


def reference_table(frame):
    rows = [frame.columns.tolist()] + [row.tolist() for row in frame.values]
    return S.to_wire(rows)


@pytest.mark.parametrize("frame", [
    pd.DataFrame(np.arange(12, dtype=np.float64).reshape(3, 4) / 7),
    pd.DataFrame(np.arange(12, dtype=np.float64).reshape(4, 3).T.copy(order="F")),
    pd.DataFrame(np.arange(24, dtype=np.float64).reshape(4, 6)[::2, ::-2]),
    pd.DataFrame(np.array([[-128, 127]], dtype=np.int8)),
    pd.DataFrame(np.array([[2 ** 64 - 1, 0]], dtype=np.uint64)),
    pd.DataFrame(np.array([[2 ** 40, -5]], dtype=np.int64)),
    pd.DataFrame(np.array([[0.1, np.nan]], dtype=np.float32)),
    pd.DataFrame(np.array([[1.5, 2]], dtype=np.float16)),
    pd.DataFrame(np.array([[1 + 2j]], dtype=np.complex128)),
    pd.DataFrame({"a": [True, False]}),
    pd.DataFrame({"a": [1, 2], "b": ["x", None], "c": [1.5, np.nan]}),
    pd.DataFrame({"a": pd.array([1, None], dtype="Int64")}),
    pd.DataFrame({"a": pd.Categorical(["u", "v"])}),
])
def test_table_cells_match_plain_rows(frame):
    # repr: NaN cells compare equal by their text
    assert repr(S.to_wire(frame)) == repr(reference_table(frame))


def misaligned(values):
    """The same values in memory that starts one byte past an aligned address."""
    raw = np.zeros(values.nbytes + 1, dtype=np.uint8)
    out = raw[1:].view(values.dtype).reshape(values.shape)
    out[...] = values
    return out


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64, np.int32, np.int16, np.uint64, np.uint32])
@pytest.mark.parametrize("layout", [lambda a: a, lambda a: a[:, ::-2]], ids=["contiguous", "strided"])
def test_table_cells_read_from_misaligned_memory(dtype, layout):
    values = np.array([[1, 2, 3, 4], [5, 6, 7, 120]]) * (1 if np.dtype(dtype).kind != "f" else 0.5)
    frame = pd.DataFrame(layout(misaligned(values.astype(dtype))), copy=False)
    assert not frame.values.flags.aligned  # the frame reads the odd memory itself
    wire = S.to_wire(frame)
    assert wire == reference_table(frame)
    assert [[c["value"] for c in row["value"]] for row in wire["value"][1:]] == layout(values).tolist()


@pytest.mark.parametrize("frame, cells", [
    (pd.DataFrame({"d": pd.to_datetime(["2024-01-01 10:00", None])}),
     [rec("Date", "2024-01-01T10:00:00"), rec("Null", None)]),
    (pd.Series(pd.to_datetime(["2024-01-02"]), name="d"), [rec("Date", "2024-01-02T00:00:00")]),
    (pd.DataFrame({"d": pd.to_datetime(["2024-01-01 10:00"]).tz_localize("Europe/Paris")}),
     [rec("Date", "2024-01-01T09:00:00+00:00")]),
    (pd.DataFrame({"t": pd.to_timedelta(["1h"])}), [rec("String", "0 days 01:00:00")]),
])
def test_datetime_frames_travel_as_dates_not_integers(frame, cells):
    rows = S.to_wire(frame)["value"][1:]
    assert [r["value"][0] for r in rows] == cells
    if isinstance(frame, pd.DataFrame):
        # The same cells as in a frame that mixes them with other columns.
        mixed = frame.assign(other="x")
        assert [r["value"][0] for r in S.to_wire(mixed)["value"][1:]] == cells


def test_cyclic_and_deep_input_raises_recursion_error():
    items = []
    items.append(items)
    mapping = {}
    mapping["self"] = mapping
    deep = None
    for _ in range(100_000):
        deep = [deep]
    for value in (items, mapping, deep):
        with pytest.raises(RecursionError):
            S.to_wire(value)
    wire = {"type": "Null"}
    for i in range(100_000):
        wire = {"type": "Array", "id": i, "value": [wire]}
    with pytest.raises(RecursionError):
        S.from_wire(wire)


def test_list_changed_during_conversion():
    items = []

    class Grows:
        def __str__(self):
            items.clear()
            return "gone"

    items.extend([Grows(), 1, 2])
    assert S.to_wire(items) == rec("Array", [rec("String", "gone")])

    d = {}

    class Adds:
        def __str__(self):
            d["new"] = 1
            return "x"

    d["a"] = Adds()
    with pytest.raises(RuntimeError, match="changed size"):
        S.to_wire(d)


def test_conversion_errors_propagate():
    class Bad:
        def __str__(self):
            raise ValueError("no text")

    with pytest.raises(ValueError, match="no text"):
        S.to_wire([1, Bad()])
    with pytest.raises(TypeError, match="Object must be callable"):
        messaging.register_callable(Bad())


@pytest.mark.parametrize("wire, expected", [
    ({"type": "Null", "value": 5}, None),
    ({"type": "Bool", "value": "false"}, True),
    ({"type": "Bool", "value": 0}, False),
    ({"type": "Int", "value": 3.9}, 3),
    ({"type": "Int", "value": -3.9}, -3),
    ({"type": "Int", "value": "12"}, 12),
    ({"type": "Float", "value": 2}, 2.0),
    ({"type": "Float", "value": "1.5"}, 1.5),
    ({"type": "String", "value": 5}, "5"),
    ({"type": "Date", "value": "2024-05-01T10:00:00+00:00"}, dt.datetime(2024, 5, 1, 10, tzinfo=UTC)),
    ({"type": "Date", "value": "not a date"}, "not a date"),
    ({"type": "Date", "value": 17}, 17),
    ({"type": "Bytes"}, b""),
    ({"type": "Bytes", "value": base64.b64encode(b"\x00\xff").decode()}, b"\x00\xff"),
    ({"value": 3}, "3"),
    ({}, "None"),
    ({"type": "Workbook", "value": 5}, "5"),
])
def test_from_wire_values(wire, expected):
    got = S.from_wire(wire)
    assert got == expected and type(got) is type(expected)


def test_from_wire_containers_and_references():
    arr = S.from_wire({"type": "Array", "id": 3, "value": [
        {"type": "Int", "value": 1},
        {"type": "Array", "id": 4, "value": []},
        {"type": "Dict", "id": 5, "value": {"k": {"type": "Bool", "value": True}}},
        {"type": "Function", "value": 7, "isSpec": True},
    ]})
    assert type(arr) is panticle.OfficeJsArray and arr._internal_id == 3
    one, inner, d, fn = arr
    assert one == 1 and type(inner) is panticle.OfficeJsArray and inner._internal_id == 4
    assert type(d) is panticle.OfficeJsDict and d == {"k": True} and d._internal_id == 5
    assert type(fn) is panticle.OfficeJsObject and (fn._internal_id, fn._internal_typeName) == (7, "Function")
    assert fn._msg_guid == messaging._guid
    ref = S.from_wire({"type": "Array", "value": None, "id": 8, "isSpec": True})
    assert type(ref) is panticle.OfficeJsArray and ref == []
    assert S.from_wire({"type": "Range", "value": "12", "isSpec": 1})._internal_id == 12


@pytest.mark.parametrize("wire, error, text", [
    (None, TypeError, "argument 'wire' must be dict, not NoneType"),
    ("dict proxy", TypeError, "must be dict, not OfficeJsDict"),
    ({"type": "Array", "id": 1, "value": [1]}, TypeError, "must be dict, not int"),
    ({"type": "Array", "value": []}, TypeError, "object_id"),
    ({"type": "Dict"}, TypeError, "object_id"),
    ({"type": "Int"}, TypeError, ""),
    ({"type": "Float", "value": "x"}, ValueError, ""),
    ({"type": "Bytes", "value": "abc"}, ValueError, ""),
    ({"type": "Python_Function", "value": "pyfunc_ab_1", "isSpec": True}, ValueError, ""),
    ({"value": 1, "isSpec": True}, TypeError, "type_name"),
])
def test_from_wire_errors(wire, error, text):
    if wire == "dict proxy":
        wire = panticle.OfficeJsDict(1)
    with pytest.raises(error, match=text):
        S.from_wire(wire)



NS_DATES = pd.to_datetime([
    "2024-05-01 12:00", "2024-05-01 12:00:00.000001", "2024-05-01 12:00:00.000000001",
    "2024-05-01 12:00:00.123456789", "2024-05-01 12:00:00.120", "1969-12-31 23:59:59.999999999",
    "1900-02-28 01:02:03.5", "2000-02-29 23:59:59", "2100-03-01", None,
])


@pytest.mark.parametrize("frame", [
    pd.DataFrame({"d": NS_DATES, "s": ["x"] * 10}),
    pd.DataFrame({"s": ["a", None], "f": [0.5, np.nan], "f32": np.array([0.1, 2], dtype=np.float32),
                  "i8": np.array([-128, 127], dtype=np.int8), "u": np.array([2 ** 64 - 1, 0], dtype=np.uint64),
                  "b": [True, False], "d": pd.to_datetime(["2024-01-01", None])}),
    pd.DataFrame({"o": [None, 1.5, "a", 3, pd.NaT, True, b"x", (1, 2), {"k": 1}, pd.Timestamp("2024-01-01")]}),
    pd.DataFrame([[1.5, "x", 2]], columns=["a", "a", "b"]),
    pd.DataFrame({"f": np.arange(10.0), "s": list("abcdefghij")}).iloc[::-3],
    pd.DataFrame({"s": pd.Series([], dtype=object), "d": pd.Series([], dtype="datetime64[ns]")}),
    pd.DataFrame({"s": ["x", "y"], "tz": pd.to_datetime(["2024-01-01", None]).tz_localize("UTC")}),
    pd.DataFrame({"s": ["x", "y"], "c": pd.Categorical(["u", "v"]), "n": pd.array([1, None], dtype="Int64")}),
    pd.DataFrame({"s": ["x"], "h": np.array([1.5], dtype=np.float16), "t": pd.to_timedelta(["1h"])}),
])
def test_frames_with_object_columns_match_their_values_rows(frame):
    # Cells as the frame's values array holds them: Timestamps, Python numbers.
    assert repr(S.to_wire(frame)) == repr(reference_table(frame))


@pytest.mark.parametrize("ns", [
    0, 1, 999, 1000, 999_999_999, -1, -1_000, -999_999_999, 86_400 * 10 ** 9 - 1,
    np.iinfo(np.int64).min + 1, np.iinfo(np.int64).max, 951_782_400 * 10 ** 9 + 1_234,
])
def test_date_cells_read_from_a_column_print_as_their_timestamp(ns):
    frame = pd.DataFrame({"d": np.array([ns], dtype="datetime64[ns]"), "s": ["x"]})
    assert S.to_wire(frame)["value"][1]["value"][0] == rec("Date", pd.Timestamp(ns).isoformat())
