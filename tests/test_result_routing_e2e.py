"""Two workbooks whose add-ins pick the same request id, through the real master
and the real kernel programs it starts: each add-in gets its own result."""
import asyncio
import uuid

import pytest

from e2e_clients import Addin, master, scaled
from helpers import wait_until

KERNELS_ON = {"TAVRINO_KERNEL_STANDBY": "0"}


def module(value, started, go):
    """A function that says it has been called, then answers only once the test lets it: both
    calls are surely in before either answers, and the test picks which answers first."""
    return (f"import os, time\n\n"
            f"def which():\n"
            f"    open({started!r}, 'w').close()\n"
            f"    deadline = time.monotonic() + {scaled(60)!r}\n"
            f"    while not os.path.exists({go!r}) and time.monotonic() < deadline:\n"
            f"        time.sleep(0.01)\n"
            f"    return {value!r}\n")


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


async def open_book(port, value, folder):
    wb = f"book{value}-" + uuid.uuid4().hex[:8]
    started, go = folder / f"started-{value}", folder / f"go-{value}"
    book = await Book.connect(port, wb, name=wb, modules={"calc": module(value, str(started), str(go))})
    await book.wait_for("sync_custom_functions", timeout=30)  # its kernel is in and has the module
    book.started, book.go = started, go
    return book


@pytest.mark.parametrize("answers_first", ["A", "B"], ids=["A-answers-first", "B-answers-first"])
@pytest.mark.parametrize("first_caller", ["A", "B"])
async def test_same_request_id_from_two_workbooks(port, tmp_path, answers_first, first_caller):
    books = {"A": await open_book(port, "A", tmp_path), "B": await open_book(port, "B", tmp_path)}
    call = {"type": "function_execution", "module_name": "calc", "function_name": "which", "args": [],
            "request_id": "dup"}
    order = [first_caller, "B" if first_caller == "A" else "A"]
    await asyncio.gather(*(books[name].send(call) for name in order))
    try:
        await wait_until(lambda: all(book.started.exists() for book in books.values()), 30)
        for name in (answers_first, "B" if answers_first == "A" else "A"):
            book = books[name]
            book.go.touch()
            [result] = await book.wait_for("function_execution_result", timeout=30)
            assert result["request_id"] == "dup" and result["status"] == "success", result
            assert result["result"]["type"] == "String" and result["result"]["value"] == name
        # Each kernel has answered once, and each answer has come out: nothing
        # else is on its way, and no add-in got the other's value or a raw answer.
        assert [[r["result"]["value"] for r in books[n].results()] for n in "AB"] == [["A"], ["B"]]
        assert not any(book.of_type("execution_result") for book in books.values())
    finally:
        for book in books.values():
            book.go.touch()
            await book.close()
