"""An IDE written from the README alone, against the real host and kernel program: the module
examples of its IDE section, an edit that carries no text, a setting written without a value, a
run after a save, and the IDE program's restarts."""
import json
import sys
import uuid
from pathlib import Path

import pytest

from e2e_clients import Book, Client
from helpers import wait_until
from readme_examples import ide_module_examples
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


async def test_the_readmes_module_examples_run_as_shown(host):
    port, _, _ = host
    examples = ide_module_examples()
    reads = [answer for block in examples for arrow, answer in block if answer["type"] == "module_content"]
    workbook_id, modules = reads[0]["workbook_id"], {reads[0]["module_name"]: reads[0]["code"]}
    addin, ide = await open_book(port, workbook_id, modules)
    try:
        for block in examples:
            since = len(ide.received)
            for arrow, message in block:
                if arrow == "->":
                    await ide.send(message)
                elif message["type"] == "stdout":  # output may come cut into pieces
                    await wait_until(lambda: len(output(ide, workbook_id, since)) >= len(message["content"]), 30)
                    assert output(ide, workbook_id, since) == message["content"]
                else:
                    count = len(ide.of_type(message["type"]))
                    (answer,) = (await ide.wait_for(message["type"], count + 1, timeout=30))[count:]
                    assert answer == message
            if len(block) == 1:  # an answerless edit: the workbook stores it
                sent = block[0][1]
                await wait_until(lambda: addin.modules.get(sent["module_name"]) == sent["code"], 30)
    finally:
        await ide.close()
        await addin.close()


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
