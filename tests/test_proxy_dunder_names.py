"""Names of the form __name__ read on a proxy: refused at once with
AttributeError, never asked of the add-in; every other name still goes to the
add-in (NumPy and pandas reading range arguments: test_range_arguments_e2e)."""
import pytest

from tavrino_master.python_server.tavrino import panticle
from test_panticle_proxies import addin  # noqa: F401  (the fixture)

DUNDERS = ["__array_struct__", "__array_interface__", "__array__", "__deepcopy__", "__length_hint__", "__x__"]
# Not of that form: these still reach the add-in.
PLAIN = ["ndim", "__", "____", "___x__", "__x___", "__x", "x__", "_x_"]


def proxies():
    items = [panticle.OfficeJsObject(7, "Range"), panticle.OfficeJsArray(8), panticle.OfficeJsDict(9)]
    items[1].extend([1, 2])
    items[2].update(a=1)
    return items


@pytest.mark.parametrize("name", DUNDERS)
def test_a_dunder_name_is_refused_at_once_on_every_proxy(addin, name):
    for proxy in proxies():
        kind = type(proxy).__name__
        with pytest.raises(AttributeError, match=f"^'{kind}' object has no attribute '{name}'$"):
            getattr(proxy, name)
        with pytest.raises(AttributeError):
            panticle._cw__getattr__(proxy, name)
        assert not hasattr(proxy, name) and getattr(proxy, name, "default") == "default"
    stale = proxies()
    panticle.messaging.reset()  # stale proxies refuse them the same way, before the context check
    for proxy in stale + [panticle.GetSetting]:
        with pytest.raises(AttributeError):
            getattr(proxy, name)
    assert addin.sent("GET") == []


@pytest.mark.parametrize("name", PLAIN)
def test_other_names_still_reach_the_addin(addin, name):
    for proxy in proxies():
        assert getattr(proxy, name) is None
    assert addin.sent("GET") == [{"method": "GET", "name": name, "caller": caller} for caller in (7, 8, 9)]
    addin.responder = lambda env: {"ok": False, "error": {"message": "no such property"}}
    with pytest.raises(RuntimeError, match="^no such property$"):
        getattr(panticle.OfficeJsArray(8), name)


def test_a_dict_key_of_that_form_is_still_read_locally(addin):
    proxy = panticle.OfficeJsDict(3)
    proxy["__x__"] = 5
    assert proxy.__x__ == 5 and addin.sent("GET") == []
