"""An IDE written from the docs alone, against the real host and kernel program: the module
and package examples of the IDE protocol, an edit that carries no text, and the IDE program's
restarts."""
import sys
import uuid

import pytest

from e2e_clients import Book, Client
from helpers import wait_until
from readme_examples import IDE_DOC, Player, exchanges
from servers import master_with_log
from test_kernel_program_e2e import KERNELS_ON

IDE_PROGRAM = """\
import os, signal, sys, time
record = sys.argv[1]
def note(line):
    with open(record, "a") as f:
        f.write(line + "\\n")
def end(*_):
    note(f"term {os.getpid()}")
    os._exit(0)
signal.signal(signal.SIGTERM, end)
note(f"up {os.getpid()}")
master = os.getppid()
while os.getppid() == master:  # ends with its master too
    time.sleep(0.05)
"""


class Workbook(Book):
    """An add-in that keeps the modules the master saves, loads or deletes in its workbook."""

    async def on_message(self, message):
        kind = message.get("type")
        if kind == "save_module_request":
            self.modules[message["module_name"]] = message["code"]
        answers = {
            "load_module_request": lambda: {"type": "load_module_response",
                                            "code": self.modules.get(message["module_name"])},
            "delete_module_request": lambda: {"type": "delete_module_response",
                                              "success": self.modules.pop(message["module_name"], None) is not None},
        }
        if kind in answers:
            await self.send(dict(answers[kind](), request_id=message["request_id"]))
        else:
            await super().on_message(message)


@pytest.fixture(scope="module")
def host(tmp_path_factory):
    """One master, with an IDE program to restart; yields (port, log path, the IDE's record)."""
    home = tmp_path_factory.mktemp("home")
    script, record = home / "ide.py", home / "ide-record"
    script.write_text(IDE_PROGRAM)
    env = dict(KERNELS_ON, TAVRINO_IDE_CMD=f"{sys.executable} {script} {record}")
    with master_with_log(str(home), env=env) as (port, log):
        yield port, log, record


async def open_book(port, workbook_id, modules):
    """The workbook's add-in, once its real kernel has its modules, and an IDE."""
    addin = await Workbook.connect(port, workbook_id, name="Book1", modules=dict(modules))
    await addin.wait_for("sync_custom_functions", timeout=60)
    ide_id = "ide-" + uuid.uuid4().hex[:8]
    ide = await Client.connect(port, "ide", ide_id)
    ide.client_id = ide_id
    await ide.wait_for("workbook_connected", timeout=10)
    return addin, ide


@pytest.mark.parametrize("title", ["## Modules and runs", "## Packages"], ids=["modules", "packages"])
async def test_the_docs_ide_examples_run_as_shown(host, title):
    port, _, _ = host
    examples = exchanges(IDE_DOC, title)
    assert examples
    [read, *_] = [m for steps in exchanges(IDE_DOC, "## Modules and runs") for way, m in steps
                  if way == "<-" and m["type"] == "module_content"]
    modules = {read["module_name"]: read["code"]}  # the workbook of the examples
    workbook_id = "docs-" + uuid.uuid4().hex[:8]
    book = {}
    book["addin"], ide = await open_book(port, workbook_id, modules)

    async def before(expected):
        """The add-in leaves, or comes back, where the example shows the IDEs hearing of it."""
        if expected["type"] == "workbook_disconnected":
            await book["addin"].close()
        elif expected["type"] == "workbook_connected":
            modules = book["addin"].modules  # what its workbook holds
            book["addin"] = await Workbook.connect(port, workbook_id, name="Book1", modules=modules)

    try:
        for steps in examples:
            await Player(ide, workbook_id=workbook_id, before=before).play(steps)
            if len(steps) == 1:  # an answerless edit: the workbook stores it
                sent = steps[0][1]
                await wait_until(lambda: book["addin"].modules.get(sent["module_name"]) == sent["code"], 30)
    finally:
        await ide.close()
        await book["addin"].close()


async def test_an_edit_without_a_text_code_leaves_the_module_everywhere(host):
    port, log, _ = host
    workbook_id = "bad-edit-" + uuid.uuid4().hex[:8]
    source = "def double(x):\n    return 2 * x\n"
    addin, ide = await open_book(port, workbook_id, {"calc": source})
    try:
        wrong = "def double(x):\n    return 0\n"
        await ide.send({"type": "update_module", "workbook_id": workbook_id, "module_name": "calc", "content": wrong})
        await ide.send({"type": "save_module", "workbook_id": workbook_id, "module_name": "calc", "code": None})
        (saved,) = await ide.wait_for("module_saved", timeout=30)
        assert saved == {"type": "module_saved", "workbook_id": workbook_id, "module_name": "calc", "success": False}
        await ide.send({"type": "get_module", "workbook_id": workbook_id, "module_name": "calc"})
        (content,) = await ide.wait_for("module_content", timeout=30)
        assert content["code"] == source  # the master's copy
        assert addin.of_type("save_module_request") == [] and addin.modules == {"calc": source}  # the workbook's
        await addin.send({"type": "function_execution", "module_name": "calc", "function_name": "double",
                          "args": [{"type": "Int", "value": 21, "isSpec": False}], "request_id": "r1"})
        (result,) = await addin.wait_for("function_execution_result", timeout=30)
        assert result["result"] == {"type": "Int", "value": 42, "isSpec": False}  # the kernel's
        text = open(log, encoding="utf-8").read()
        for kind in ("update_module", "save_module"):
            assert (f'Received {kind} from IDE {ide.client_id} for module \'calc\' without a text "code"; '
                    "the module is left unchanged") in text
    finally:
        await ide.close()
        await addin.close()


def noted(record, kind):
    lines = record.read_text().splitlines() if record.exists() else []
    return [int(line.split()[1]) for line in lines if line.startswith(kind + " ")]


async def test_every_kill_ide_ends_the_ide_program_and_starts_a_new_one(host):
    port, _, record = host
    addin = await Client.connect(port, "addin", "kill-ide-" + uuid.uuid4().hex[:8])
    try:
        await addin.wait_for("ping")
        await addin.send({"type": "kill_ide"})  # none runs yet: one is started
        await wait_until(lambda: len(noted(record, "up")) == 1, 30)
        for n in range(1, 4):
            old = noted(record, "up")[-1]
            await addin.send({"type": "kill_ide"})
            await wait_until(lambda: len(noted(record, "up")) == n + 1, 30)
            assert noted(record, "term") == noted(record, "up")[:n]  # the old one ended first
            assert noted(record, "up")[-1] != old
    finally:
        await addin.close()
