"""The master's per-workbook module cache: reads, saves, deletes and their order."""
import logging

import pytest

from helpers import LOGGER


def test_unknown_workbook_reads_create_nothing(manager):
    assert manager.get_module("wb", "m") is None
    listed = manager.list_modules("wb")
    assert listed == {}
    listed["x"] = "1"
    assert manager.workbook_modules == {}
    assert manager.list_modules("wb") == {}


def test_save_logs_and_order_follows_first_save(manager, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    for name, code in [("a", "1"), ("b", "2"), ("c", "3"), ("a", "1 again"), ("e", "")]:
        manager.save_module("wb", name, code)
    assert list(manager.list_modules("wb").items()) == [("a", "1 again"), ("b", "2"), ("c", "3"), ("e", "")]
    assert caplog.messages[0] == "Saved module 'a' for workbook 'wb'"
    assert all(r.levelno == logging.DEBUG for r in caplog.records)


def test_delete_then_save_again_goes_last(manager, caplog):
    for name in "abc":
        manager.save_module("wb", name, name)
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    assert manager.delete_module("wb", "a") is True
    assert caplog.messages == ["Deleted module 'a' from workbook 'wb'"]
    assert manager.get_module("wb", "a") is None
    manager.save_module("wb", "a", "new")
    assert list(manager.list_modules("wb")) == ["b", "c", "a"]


@pytest.mark.parametrize("workbook, module", [("other", "a"), ("wb", "missing")])
def test_delete_of_uncached_module_is_false_and_silent(manager, caplog, workbook, module):
    manager.save_module("wb", "a", "x")
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    assert manager.delete_module(workbook, module) is False
    assert caplog.records == []
    assert manager.workbook_modules == {"wb": {"a": "x"}}


def test_list_is_the_live_dictionary(manager):
    manager.save_module("wb", "a", "x")
    listed = manager.list_modules("wb")
    manager.save_module("wb", "b", "y")
    assert listed == {"a": "x", "b": "y"}
    manager.delete_module("wb", "a")
    manager.delete_module("wb", "b")
    assert listed == {} and manager.list_modules("wb") is listed
    assert manager.workbook_modules == {"wb": {}}


def test_cache_survives_disconnect(manager):
    manager.save_module("wb", "m", "code")
    manager.disconnect("addin", "wb")
    manager.disconnect("kernel", "wb")
    assert manager.get_module("wb", "m") == "code"


@pytest.mark.parametrize("stored", [42, b"bytes", ["x"]])
def test_non_text_stored_by_the_addin_is_not_returned(manager, stored):
    manager.workbook_modules["wb"] = {"m": stored}
    with pytest.raises(TypeError, match=r"get_module\(\) must return str or None, not"):
        manager.get_module("wb", "m")


@pytest.mark.parametrize("stored", [["a"], "text"])
def test_non_dictionary_workbook_entry_is_not_listed(manager, stored):
    manager.workbook_modules["wb"] = stored
    with pytest.raises(TypeError, match=r"list_modules\(\) must return dict or None, not"):
        manager.list_modules("wb")


@pytest.mark.parametrize(
    "call, args, arg",
    [
        ("save_module", (None, "m", "c"), "workbook_id"),
        ("save_module", ("wb", "m", None), "code"),
        ("delete_module", ("wb", None), "module_name"),
        ("list_modules", (None,), "workbook_id"),
    ],
)
def test_wrong_argument_types_change_nothing(manager, call, args, arg):
    with pytest.raises(TypeError, match=f"argument '{arg}' must be str"):
        getattr(manager, call)(*args)
    assert manager.workbook_modules == {}
