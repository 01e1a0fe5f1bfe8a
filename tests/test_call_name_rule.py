"""The naming rule a worksheet-function call passes on its way to the kernel: the interpreter's
keyword list as it is at the call, whatever it holds, and the module's rule function as it is
named then."""
import keyword

import pytest

import tavrino_master.business_layer.relvane as relvane
from e2e_clients import call
from fakes import Sock


class Word(str):
    """A keyword entry that is no plain text."""


@pytest.fixture
async def book(manager):
    addin, kernel = Sock(), Sock()
    await manager.connect("addin", "wb", addin)
    await manager.connect("kernel", "wb", kernel)
    return addin, kernel


@pytest.mark.parametrize("words, module, function, refusal", [
    (["calc"], "calc", "f", "Invalid module name 'calc': Python keyword not allowed: calc"),
    ([Word("calc")], "calc", "f", "Invalid module name 'calc': Python keyword not allowed: calc"),
    (["f"], "calc", "f", "Invalid function name 'f': Python keyword not allowed: f"),
    (["calc"], "pkg.calc", "f", "Invalid module name 'pkg.calc': Python keyword not allowed: calc"),
    (["cal", "calcs", "Calc"], "calc", "f", None),  # near misses pass
    ([], "calc", "class", None),  # a word taken off the list passes
])
async def test_the_keyword_list_is_read_at_each_call(book, monkeypatch, words, module, function, refusal):
    addin, kernel = book
    monkeypatch.setattr(keyword, "kwlist", list(keyword.kwlist if words else []) + words)
    await relvane.handle_function_event_execution("wb", call("r1", function=function, module=module))
    if refusal is None:
        assert addin.sent == [] and [m["type"] for m in kernel.sent] == ["custom_function_call"]
    else:
        assert kernel.sent == [] and addin.sent[0]["error"]["message"] == refusal


async def test_a_replaced_rule_decides(book, monkeypatch):
    addin, kernel = book
    seen = []
    monkeypatch.setattr(relvane, "validate_python_identifier",
                        lambda name: seen.append(name) or (name != "f", "not f"))
    await relvane.handle_function_event_execution("wb", call("r1", function="f"))
    assert seen == ["calc", "f"] and kernel.sent == []
    assert addin.sent[0]["error"]["message"] == "Invalid function name 'f': not f"


async def test_a_name_that_is_no_text_is_refused_like_one_that_is_no_identifier(book):
    addin, kernel = book
    await relvane.handle_function_event_execution("wb", dict(call("r1"), module_name=5))
    assert kernel.sent == [] and addin.sent[0]["error"]["message"] == "Invalid module name '5': Invalid identifier: 5"
