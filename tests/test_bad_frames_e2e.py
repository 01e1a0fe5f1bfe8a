"""Frames the master cannot take, from real clients over the real host: a text
frame that is not JSON or a binary frame closes that connection with a code and
a reason, is logged as one warning, and the client departs as any other does."""
import json
import socket
import uuid

import pytest
import websockets
from websockets.frames import Frame, Opcode

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


class CountingAddin(Addin):
    """An add-in without a size limit that writes `then` to its socket, at once, when it has read `past`
    bytes."""

    taken, past, then = 0, None, None

    @classmethod
    async def connect(cls, port, workbook_id):
        # A large receive buffer: the master's socket takes what it writes at once, so its next message would
        # go out at once too.
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 * 1024 * 1024)
        sock.connect(("127.0.0.1", port))
        addin = cls(await websockets.connect(f"ws://127.0.0.1:{port}/ws/addin/{workbook_id}", max_size=None,
                                             sock=sock))
        protocol = addin.ws.transport.get_protocol()
        received = protocol.data_received

        def counted(data):
            addin.taken += len(data)
            if addin.past is not None and addin.taken > addin.past:
                addin.ws.transport.write(addin.then)
                addin.past = None
            received(data)

        protocol.data_received = counted
        return addin


def client_frames(*frames):
    """Masked frames as a client writes them, in one piece: the master reads them in one go."""
    return b"".join(Frame(Opcode.TEXT if isinstance(data, str) else Opcode.BINARY,
                          data.encode() if isinstance(data, str) else data).serialize(mask=True)
                    for data in frames)


@pytest.mark.parametrize("frame, code, reason, what", [NOT_JSON, BINARY], ids=["not-json", "binary"])
async def test_a_refusal_while_a_long_message_is_half_written_lets_no_message_start_before_the_close(
        host, frame, code, reason, what):
    port, log = host
    ide = await watching_ide(port)
    wb = "bf-" + uuid.uuid4().hex[:10]
    addin = await CountingAddin.connect(port, wb)
    await wait_until(lambda: listed(ide, wb), 20)
    kernel = await Client.connect(port, "kernel", wb)
    await ide.wait_for("log_to_console", timeout=20)
    # A message of 15 MB goes out to the add-in in fragments; as the first come in, the add-in sends calls
    # the master answers at once, and the frame it refuses, all in one piece.
    calls = [json.dumps({"type": "python_function_call", "args": [], "requestId": f"c{n}"}) for n in range(20)]
    addin.past, addin.then = addin.taken + 100_000, client_frames(*calls, frame)
    await kernel.send({"type": "show_message_box", "text": "x" * 15_000_000})
    await wait_until(addin.closed.is_set, 20)
    # only the close follows the unfinished message: a data frame there would be a protocol error (1006)
    assert (addin.ws.close_code, addin.ws.close_reason) == (code, reason)
    await wait_until(lambda: wb not in connections(port)["addin"], 10)
    await wait_until(lambda: any(f"Closing addin/{wb} with code {code}: {what}" in line
                                 for line in warnings_naming(log, f"addin/{wb}")), 10)
    for other in (ide, kernel):
        await other.close()
