"""Two workbooks whose add-ins pick the same request id, through the real master
and the real kernel programs it starts: each add-in gets its own result."""
import asyncio
import uuid

import pytest

from e2e_clients import Addin, master, scaled

KERNELS_ON = {"TAVRINO_KERNEL_STANDBY": "0"}
# The quicker function answers only once both calls are surely in; the slower
# one answers well after it.
QUICK, SLOW = 0.5, 2.0


def module(value, delay):
    return f"import time\n\ndef which():\n    time.sleep({scaled(delay)!r})\n    return {value!r}\n"


class Book(Addin):
    def results(self):
        """Kernel-outcome results in arrival order, alone or batched."""
        found = []
        for message in self.received:
            if message.get("type") == "batch_results":
                found.extend(message["results"])
            elif message.get("type") == "function_execution_result":
                found.append(message)
        return found


@pytest.fixture(scope="module")
def port(tmp_path_factory):
    with master(tmp_path_factory.mktemp("home"), env=KERNELS_ON) as port:
        yield port


async def open_book(port, value, delay):
    wb = f"book{value}-" + uuid.uuid4().hex[:8]
    book = await Book.connect(port, wb, name=wb, modules={"calc": module(value, delay)})
    await book.wait_for("sync_custom_functions", timeout=30)  # its kernel is in and has the module
    return book


@pytest.mark.parametrize("a_delay, b_delay", [(QUICK, SLOW), (SLOW, QUICK)], ids=["A-answers-first", "B-answers-first"])
@pytest.mark.parametrize("first_caller", ["A", "B"])
async def test_same_request_id_from_two_workbooks(port, a_delay, b_delay, first_caller):
    books = {"A": await open_book(port, "A", a_delay), "B": await open_book(port, "B", b_delay)}
    call = {"type": "function_execution", "module_name": "calc", "function_name": "which", "args": [],
            "request_id": "dup"}
    order = [first_caller, "B" if first_caller == "A" else "A"]
    await asyncio.gather(*(books[name].send(call) for name in order))
    try:
        for name, book in books.items():
            [result] = await book.wait_for("function_execution_result", timeout=30)
            assert result["request_id"] == "dup" and result["status"] == "success", result
            assert result["result"]["type"] == "String" and result["result"]["value"] == name
        # Each kernel has answered once, and each answer has come out: nothing
        # else is on its way, and no add-in got the other's value or a raw answer.
        assert [[r["result"]["value"] for r in books[n].results()] for n in "AB"] == [["A"], ["B"]]
        assert not any(book.of_type("execution_result") for book in books.values())
    finally:
        for book in books.values():
            await book.close()
