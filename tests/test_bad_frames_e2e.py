"""Frames the master cannot take, from real clients over the real host: a text
frame that is not JSON or a binary frame closes that connection with a code and
a reason, is logged as one warning, and the client departs as any other does."""
import uuid

import pytest

from e2e_clients import Addin, Client, connections, kernel_processes, listed
from helpers import wait_until
from servers import master_with_log

NOT_JSON = ("not json{", 1007, "Text frame is not JSON", "a text frame that is not JSON (Expecting value")
BINARY = (b"\x00\xffbinary", 1003, "Binary frames are not accepted", "a binary frame")


@pytest.fixture(scope="module")
def host(tmp_path_factory):
    home = tmp_path_factory.mktemp("home")
    with master_with_log(home) as (port, log):
        yield port, log


def log_lines(log):
    with open(log, encoding="utf-8", errors="replace") as f:
        return f.read().splitlines()


def warnings_naming(log, client):
    return [line for line in log_lines(log) if " WARNING " in line and client in line]


async def watching_ide(port):
    ide = await Client.connect(port, "ide", "watch-" + uuid.uuid4().hex[:8])
    await ide.wait_for("workbook_list", timeout=10)
    return ide


async def addin_with_kernel(port, ide, wb):
    """An add-in whose connect work has ended with its (standby) kernel process started."""
    addin = await Addin.connect(port, wb)
    await wait_until(lambda: listed(ide, wb), 20)
    await wait_until(lambda: len(kernel_processes(wb)) == 1, 10)
    return addin


async def victim(port, ide, client_type):
    """The client that sends the bad frame, and the add-in beside a kernel victim."""
    wb = "bf-" + uuid.uuid4().hex[:10]
    if client_type == "addin":
        return wb, await addin_with_kernel(port, ide, wb), None
    if client_type == "kernel":
        addin = await addin_with_kernel(port, ide, wb)
        kernel = await Client.connect(port, "kernel", wb)
        await ide.wait_for("log_to_console", timeout=20)  # the kernel's connect work has ended
        return wb, kernel, addin
    client = await Client.connect(port, "ide", wb)
    await client.wait_for("workbook_list", timeout=10)
    return wb, client, None


@pytest.mark.parametrize("frame, code, reason, what", [NOT_JSON, BINARY], ids=["not-json", "binary"])
@pytest.mark.parametrize("client_type", ["addin", "ide", "kernel"])
async def test_a_frame_the_master_cannot_take_closes_with_a_code_and_the_client_departs(
        host, client_type, frame, code, reason, what):
    port, log = host
    ide = await watching_ide(port)
    client_id, client, addin = await victim(port, ide, client_type)
    name = f"{client_type}/{client_id}"

    await client.ws.send(frame)
    await wait_until(client.closed.is_set, 10)
    assert (client.ws.close_code, client.ws.close_reason) == (code, reason)

    # the departure, as for any client that leaves
    await wait_until(lambda: client_id not in connections(port)[client_type], 10)
    if client_type == "addin":
        await wait_until(lambda: {"type": "workbook_disconnected", "workbook_id": client_id} in ide.received, 10)
        await wait_until(lambda: not kernel_processes(client_id), 10)
    if client_type == "kernel":
        await addin.wait_for("kernel_disconnected", timeout=10)
        assert addin.of_type("kernel_disconnected") == [{"type": "kernel_disconnected", "workbook_id": client_id}]
        assert not addin.closed.is_set()

    await wait_until(lambda: warnings_naming(log, name), 10)
    [warning] = warnings_naming(log, name)
    assert f"Closing {name} with code {code}: {what}" in warning
    text = "\n".join(log_lines(log))
    assert " ERROR " not in text and "Traceback" not in text and "Exception in ASGI application" not in text

    # the master serves the others, and anyone new
    fresh = await Client.connect(port, "ide", "fresh-" + uuid.uuid4().hex[:8])
    await fresh.wait_for("workbook_list", timeout=10)
    assert fresh.received[0] == {"type": "ping"}
    await ide.send({"type": "list_modules", "workbook_id": client_id})
    await ide.wait_for("module_list", timeout=10)
    for other in (fresh, ide, addin, client):
        if other:
            await other.close()


@pytest.mark.parametrize("client_type", ["addin", "ide", "kernel"])
async def test_a_json_value_that_is_not_an_object_is_dropped_and_the_connection_reads_on(host, client_type):
    port, log = host
    ide = await watching_ide(port)
    client_id, client, addin = await victim(port, ide, client_type)
    name = f"{client_type}/{client_id}"

    await client.send("[1, 2]")
    await wait_until(lambda: warnings_naming(log, name), 10)
    assert warnings_naming(log, name)[0].endswith(f"Dropped a message from {name} that is not a JSON object")
    assert not client.closed.is_set() and client_id in connections(port)[client_type]
    # still read: the next frame is taken, and refused in its turn
    await client.send(NOT_JSON[0])
    await wait_until(client.closed.is_set, 10)
    assert client.ws.close_code == 1007
    assert len(warnings_naming(log, name)) == 2
    for other in (ide, addin, client):
        if other:
            await other.close()
