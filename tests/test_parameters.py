"""The parameter lists the master reads from a module's text for a named function."""
import logging

import pytest

import tavrino_master.business_layer.relvane as relvane
from helpers import LOGGER


def names(params):
    return [p["name"] for p in params]


@pytest.mark.parametrize(
    "code, name, expected",
    [
        ("", "f", []),
        ("def g(a): pass", "f", []),
        ("def F(a): pass", "f", []),
        ("def f(a): pass", "module.f", []),
        ("def f(): pass", "f", []),
        ("class A:\n    def f(self): pass\n    @classmethod\n    def g(cls): pass", "g", []),
        ("class A:\n    def f(self, x, y): pass", "f", ["x", "y"]),
        ("def f(a, /, b, c=1, *args, d, e=2, **kw): pass", "f", ["b", "c"]),
        ("def f(x, self, y, cls, this, klass): pass", "f", ["x", "y", "this", "klass"]),
        ("async def f(a): pass", "f", []),
        ("f = lambda a: a", "f", []),
        # breadth first: the shallower definition wins, then source order
        ("def f(a): pass\ndef f(b, c): pass", "f", ["a"]),
        ("class A:\n    def f(self, inner): pass\ndef f(outer): pass", "f", ["outer"]),
        ("def outer():\n    def f(nested): pass", "f", ["nested"]),
        ("if True:\n    def f(a): pass\nelse:\n    def f(b): pass", "f", ["a"]),
        ("try:\n    pass\nexcept Exception:\n    def f(handler): pass", "f", ["handler"]),
        ("@overload\ndef f(a: int): ...\n@overload\ndef f(a: str, b): ...\ndef f(*args): pass", "f", ["a"]),
        ("async def f(a): pass\nclass A:\n    def f(self, m): pass", "f", ["m"]),
    ],
)
def test_parameter_lists(caplog, code, name, expected):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    result = relvane.extract_function_parameters(code, name)
    assert names(result) == expected
    assert all(p == {"name": p["name"], "type": "any"} for p in result)
    assert caplog.records == []


def test_annotations_and_defaults_all_give_any():
    code = "from typing import List\ndef f(a: int, b: 'str' = 'x', c: List[int] = None, d=3): pass"
    result = relvane.extract_function_parameters(code, "f")
    assert result == [{"name": n, "type": "any"} for n in "abcd"]
    assert list(result[0]) == ["name", "type"]
    # a fresh list each call
    assert relvane.extract_function_parameters(code, "f") is not result


def test_annotation_hook_is_consulted_only_for_annotated_parameters(monkeypatch):
    seen = []

    def hook(annotation):
        seen.append(type(annotation).__name__)
        return "number"

    monkeypatch.setattr(relvane, "_extract_type_from_annotation", hook)
    result = relvane.extract_function_parameters("def f(a: float, b): pass", "f")
    assert result == [{"name": "a", "type": "number"}, {"name": "b", "type": "any"}]
    assert seen == ["Name"]


@pytest.mark.parametrize(
    "code, prefix",
    [
        ("def f(a): pass\n\ndef g(:\n", "Syntax error in code when extracting parameters for 'f': "),
        ("def f(a):\n  x = 1\n    y = 2", "Syntax error in code when extracting parameters for 'f': "),
        ("def f(a): pass\n\0", "Unexpected error extracting parameters for 'f': "),
    ],
)
def test_unparsable_text_gives_empty_list_and_one_warning(caplog, code, prefix):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    assert relvane.extract_function_parameters(code, "f") == []
    [record] = caplog.records
    assert record.levelno == logging.WARNING
    assert record.getMessage().startswith(prefix)
    assert len(record.getMessage()) > len(prefix)
    assert record.exc_info is None


def test_syntax_error_text_includes_line_number(caplog):
    relvane.extract_function_parameters("x = 1\ny = (\n", "f")
    [record] = caplog.records
    assert "line 2" in record.getMessage()


def test_hook_failure_is_logged_as_unexpected(caplog, monkeypatch):
    def hook(annotation):
        raise ValueError("boom")

    monkeypatch.setattr(relvane, "_extract_type_from_annotation", hook)
    assert relvane.extract_function_parameters(code="def f(a: int): pass", function_name="f") == []
    assert caplog.messages == ["Unexpected error extracting parameters for 'f': boom"]


def test_interruptions_pass_through(monkeypatch):
    def hook(annotation):
        raise KeyboardInterrupt

    monkeypatch.setattr(relvane, "_extract_type_from_annotation", hook)
    with pytest.raises(KeyboardInterrupt):
        relvane.extract_function_parameters("def f(a: int): pass", "f")


class Text(str):
    pass


@pytest.mark.parametrize(
    "args, arg",
    [((None, "f"), "code"), ((1, "f"), "code"), (("def f(): pass", None), "function_name"),
     ((Text("def f(): pass"), "f"), "code"), (("def f(): pass", b"f"), "function_name")],
)
def test_wrong_argument_types_raise_without_log(caplog, args, arg):
    with pytest.raises(TypeError, match=f"argument '{arg}' must be str"):
        relvane.extract_function_parameters(*args)
    assert caplog.records == []
