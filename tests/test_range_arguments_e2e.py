"""A range argument, as add-ins send it (rows that carry the add-in's ids),
read by NumPy and pandas in workbook code through the real kernel program:
Python's own probes of __name__ attributes never reach the add-in."""
import uuid

import pytest

from e2e_clients import Client, connections, master
from helpers import wait_until
from readme_examples import range_example
from test_kernel_program_e2e import KERNELS_ON, OfficeBook, wire

ROWS, COLS = 1000, 20
TABLE_ID, FIRST_ROW_ID = 5000, 6000

RANGES = {"ranges": (
    "import numpy as np\n"
    "import pandas as pd\n"
    "def np_sum(rows):\n    return float(np.array(rows, dtype=float).sum())\n"
    "def pd_shape(rows):\n    return list(pd.DataFrame(rows).shape)\n"
    "def probes(rows):\n"
    "    return [hasattr(rows, '__array_struct__'), getattr(rows[0], '__array_interface__', 'none')]\n")}


class RangeBook(OfficeBook):
    """Office.js has no property of that name on an array: the add-in answers null."""

    def office(self, request):
        if request.get("method") == "GET" and (request.get("caller") or 0) >= TABLE_ID:
            return {"ok": True, "result": wire("Null", None)}
        return super().office(request)

    def reads(self):
        return [(m["name"], m["caller"]) for m in self.of_type("sys_request") if m.get("method") == "GET"]


@pytest.fixture(scope="module")
def port(tmp_path_factory):
    with master(tmp_path_factory.mktemp("home"), env=KERNELS_ON) as port:
        yield port


def range_argument():
    return {"type": "Array", "id": TABLE_ID, "isSpec": False, "value": [
        {"type": "Array", "id": FIRST_ROW_ID + r, "isSpec": False,
         "value": [wire("Float", r * COLS + c + 0.5) for c in range(COLS)]} for r in range(ROWS)]}


@pytest.mark.parametrize("function, expected, reads", [
    ("np_sum", wire("Float", sum(range(ROWS * COLS)) + ROWS * COLS * 0.5), []),
    # pandas asks the first row's ndim and the table's dtype, both answered null
    ("pd_shape", wire("Array", [wire("Int", ROWS), wire("Int", COLS)]),
     [("ndim", FIRST_ROW_ID), ("dtype", TABLE_ID)]),
    ("probes", wire("Array", [wire("Bool", False), wire("String", "none")]), []),
])
async def test_numpy_and_pandas_read_a_range_argument(port, function, expected, reads):
    ide = await Client.connect(port, "ide", "ide-" + uuid.uuid4().hex[:8])
    await ide.wait_for("workbook_list", timeout=10)
    wb = "kr-" + uuid.uuid4().hex[:12]
    console = len(ide.of_type("log_to_console"))
    addin = await RangeBook.connect(port, wb, modules=dict(RANGES))
    await wait_until(lambda: wb in connections(port).get("kernel", []), 30)
    await ide.wait_for("log_to_console", console + 1, timeout=20)

    answer = await addin.call(function, range_argument(), module="ranges", timeout=30)
    assert answer["status"] == "success", answer.get("error")
    assert answer["result"] == expected
    assert addin.reads() == reads
    # every row and the table are released once the answer has left
    await wait_until(lambda: len(addin.released()) == ROWS + 1, 10)
    await addin.close()
    await ide.close()


async def test_the_readmes_range_argument_is_answered_as_the_readme_shows(port):
    """An add-in that knows only the docs: its module, its call with a range, and the answer it expects."""
    module, source, sent, expected = range_example()
    wb = "rr-" + uuid.uuid4().hex[:12]
    addin = await OfficeBook.connect(port, wb, modules={module: source})
    await addin.wait_for("sync_custom_functions", timeout=30)  # calls only after it, as the docs say
    await addin.send(sent)
    answer = await addin.wait_for("function_execution_result", timeout=30)
    assert answer == [expected]
    # every array the call carried is released once the answer has gone
    ids = [sent["args"][0]["id"]] + [row["id"] for row in sent["args"][0]["value"]]
    await wait_until(lambda: sorted(addin.released()) == sorted(ids), 10)
    await addin.close()
