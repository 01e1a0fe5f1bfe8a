"""An IDE written from the docs alone, against the real host and kernel program: the module
and package examples of the IDE protocol, an edit that carries no text, a setting written without
a value, a run after a save, and the IDE program's restarts."""
import json
import sys
import uuid
from pathlib import Path

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


def output(ide, workbook_id, since):
    return "".join(m["content"] for m in ide.received[since:]
                   if m.get("type") == "stdout" and m.get("workbook_id") == workbook_id)


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


async def test_a_set_setting_without_a_value_keeps_the_setting(host):
    port, log, _ = host
    ide_id = "ide-" + uuid.uuid4().hex[:8]
    ide = await Client.connect(port, "ide", ide_id)
    path = "editor.theme_" + uuid.uuid4().hex[:8]
    try:
        await ide.send({"type": "set_setting", "path": path, "value": "dark", "request_id": "s1"})
        await ide.wait_for("setting_saved", timeout=30)
        await ide.send({"type": "set_setting", "path": path, "request_id": "s2"})  # "value" missing
        await ide.send({"type": "get_settings", "path": path})
        first, second = await ide.wait_for("setting_saved", 2, timeout=30)
        assert (first["success"], second) == (True, {"type": "setting_saved", "request_id": "s2", "path": path,
                                                     "success": False})
        (read,) = await ide.wait_for("settings_response", timeout=30)
        assert read["value"] == "dark"
        stored = json.loads((Path(log).parent / ".tavrino" / "settings.json").read_text(encoding="utf-8"))
        assert stored["editor"][path.split(".")[1]] == "dark"
        assert (f"Received set_setting from IDE {ide_id} for setting '{path}' without a \"value\"; "
                "the setting is left unchanged") in open(log, encoding="utf-8").read()
    finally:
        await ide.close()


async def test_a_run_after_a_save_runs_the_saved_text(host):
    port, _, _ = host
    workbook_id = "save-run-" + uuid.uuid4().hex[:8]
    addin, ide = await open_book(port, workbook_id, {"calc": "def show():\n    print('old text')\n"})
    try:
        await ide.send({"type": "save_module", "workbook_id": workbook_id, "module_name": "calc",
                        "code": "def show():\n    print('saved text')\n"})
        (saved,) = await ide.wait_for("module_saved", timeout=30)
        assert saved["success"] is True
        since = len(ide.received)
        await ide.send({"type": "run_module", "workbook_id": workbook_id, "module_name": "calc",
                        "function_name": "show"})
        await wait_until(lambda: "\n" in output(ide, workbook_id, since), 30)
        assert output(ide, workbook_id, since) == "saved text\n"
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
