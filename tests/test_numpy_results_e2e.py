"""NumPy results of workbook functions through the real master and the real
kernel program: numbers arrive as numbers, arrays as nested arrays, and arrays
beyond the master's bounds are answered as lists beyond them are."""

import pytest

from e2e_clients import Client, kernel_processes, master
from helpers import wait_until
from test_answer_bounds_e2e import DEEPEST_SENT, LIMIT, LargeFrameBook, too_large
from test_kernel_program_e2e import KERNELS_ON, open_program_book, wire

NUMPY = {"npcalc": (
    "import numpy as np\n"
    "def int64():\n    return np.int64(5)\n"
    "def total():\n    return np.arange(4).sum()\n"
    "def f32():\n    return np.float32(1.5)\n"
    "def grid():\n    return np.array([[1, 2], [3, 4]])\n"
    "def mixed():\n"
    "    return [np.uint64(2 ** 64 - 1), np.float16('nan'), np.float32('inf'), np.array(2.5), np.bool_(True)]\n"
    "def zeros(n):\n    return np.zeros(n, dtype=np.int64)\n"
    "def nested(depth):\n"
    "    return np.zeros((1,) * 31 + (1,)) if depth == 0 else np.array([_nest(depth)], dtype=object)\n"
    "def _nest(depth):\n"
    "    v = 0\n"
    "    for _ in range(depth):\n"
    "        v = [v]\n"
    "    return v\n")}


@pytest.fixture(scope="module")
def port(tmp_path_factory):
    with master(tmp_path_factory.mktemp("home"), env=KERNELS_ON) as port:
        yield port


@pytest.fixture
async def book(port):
    ide = await Client.connect(port, "ide", "ide-numpy")
    await ide.wait_for("workbook_list", timeout=10)
    wb, addin = await open_program_book(port, ide, NUMPY, "np", book=LargeFrameBook)
    yield addin
    assert not addin.of_type("kernel_disconnected") and len(kernel_processes(wb)) == 1
    await addin.close()
    await ide.close()


@pytest.mark.parametrize("function, result", [
    ("int64", wire("Int", 5)),
    ("total", wire("Int", 6)),
    ("f32", wire("Float", 1.5)),
    ("grid", wire("Array", [wire("Array", [wire("Int", 1), wire("Int", 2)]),
                            wire("Array", [wire("Int", 3), wire("Int", 4)])])),
    # a NaN arrives missing and an infinity as its text, as for Python floats
    ("mixed", wire("Array", [wire("Int", 2 ** 64 - 1), wire("Null", None), wire("String", "Infinity"),
                             wire("Float", 2.5), wire("Bool", True)])),
])
async def test_numpy_results_arrive_as_numbers_and_arrays(book, function, result):
    answer = await book.call(function, module="npcalc", timeout=30)
    assert answer["status"] == "success", answer
    assert answer["result"] == result
    assert all(type(a) is type(b) for a, b in zip(leaves(answer["result"]), leaves(result)))


def leaves(record):
    if record["type"] == "Array":
        return [leaf for item in record["value"] for leaf in leaves(item)]
    return [record["value"]]


async def test_arrays_beyond_the_bounds_are_answered_like_lists_beyond_them(book):
    # {"type":"Int","value":0,"isSpec":false}, is 40 characters, as for a list of zeros
    large = await book.start_call("zeros", wire("Int", LIMIT // 40 + 1), module="npcalc")
    deep = await book.start_call("nested", wire("Int", 700), module="npcalc")
    deepest = await book.start_call("nested", wire("Int", DEEPEST_SENT - 1), module="npcalc")
    most_dims = await book.start_call("nested", wire("Int", 0), module="npcalc")
    await wait_until(lambda: all(r in book.results() for r in (large, deep, deepest, most_dims)), 90)
    answer = book.results()[large]
    assert answer["status"] == "error" and too_large(answer["error"]) >= LIMIT
    assert book.results()[deep]["status"] == "error"
    assert book.results()[deep]["error"]["type"] == "RecursionError"
    record, depth = book.results()[deepest]["result"], 0
    while record["type"] == "Array":
        record, depth = record["value"][0], depth + 1
    assert depth == DEEPEST_SENT and record == wire("Int", 0)
    assert str(book.results()[most_dims]["result"]).count("Array") == 32
    assert (await book.call("int64", module="npcalc", timeout=30))["result"] == wire("Int", 5)
