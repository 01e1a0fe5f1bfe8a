"""A frame nested beyond what the master's decoder can take, from a scripted
kernel: the master drops that frame with a warning, whole or reassembled from
chunks, and keeps the connection and every other answer."""
import json
import uuid

import pytest

from e2e_clients import open_workbook, results, wait_results, call
from helpers import wait_until
from servers import master_with_log

DEEP = 3000


def deep_answer(rid):
    text = json.dumps({"type": "execution_result", "request_id": rid, "logs": "", "result": 0})
    return text[:-2] + " " + "[" * DEEP + "]" * DEEP + "}"


def chunks(text, size=65536):
    pieces = [text[i:i + size] for i in range(0, len(text), size)]
    cid = str(uuid.uuid4())
    return [json.dumps({"type": "chunk", "chunk_id": cid, "chunk_index": i, "total_chunks": len(pieces),
                        "data": piece, "original_type": "execution_result"}) for i, piece in enumerate(pieces)]


@pytest.fixture(scope="module")
def master_log(tmp_path_factory):
    with master_with_log(tmp_path_factory.mktemp("home")) as found:
        yield found


def warnings_in(log):
    with open(log, encoding="utf-8", errors="replace") as f:
        return f.read().count("Dropped a message nested too deeply to parse")


@pytest.mark.parametrize("how", ["whole", "chunked"])
async def test_a_frame_too_deep_to_parse_is_dropped_and_the_connection_kept(master_log, how):
    port, log = master_log
    before = warnings_in(log)
    wb, addin, ide, kernel = await open_workbook(port)
    kernel.hold = True
    await addin.send(call("before"))
    await wait_until(lambda: kernel.held, 10)

    text = deep_answer("deep")
    if how == "chunked":
        text = text + " " * 70000  # past one piece
    for frame in chunks(text) if how == "chunked" else [text]:
        await kernel.send(frame)
    kernel.hold = False
    await kernel.release()
    await addin.send(call("after", args=(4,)))
    found = await wait_results(addin, 2, timeout=10)
    assert sorted(r["request_id"] for r in found) == ["after", "before"]
    assert all(r["status"] == "success" for r in found)
    assert "deep" not in [r["request_id"] for r in results(addin)]
    assert not addin.of_type("kernel_disconnected") and not kernel.closed.is_set()
    await wait_until(lambda: warnings_in(log) == before + 1, 10)
    for client in (addin, ide, kernel):
        await client.close()
