"""Chunked messages: reassembly of received pieces, the bounds on open buffers, and chunked sends."""
import json
import logging
import sys

import pytest

import tavrino_master.business_layer.relvane as relvane
from fakes import Sock


def piece(chunk_id, index, total, data):
    return {"type": "chunk", "chunk_id": chunk_id, "chunk_index": index, "total_chunks": total, "data": data}


def split(text, total):
    size = -(-len(text) // total)
    return [text[i * size:(i + 1) * size] for i in range(total)]


async def feed(manager, client_id, pieces, client_type="addin"):
    return [await manager._handle_chunk_message(client_type, client_id, p) for p in pieces]


# ---------------------------------------------------------------- reassembly


async def test_single_piece_returns_at_once_and_keeps_client_table(manager, logs):
    result = await manager._handle_chunk_message("addin", "wb", piece("c1", 0, 1, '{"type": "x", "v": 1}'))
    assert result == {"type": "x", "v": 1}
    assert manager._chunk_buffers == {"wb": {}}
    assert logs.records == []


async def test_out_of_order_pieces_are_joined_by_index(manager):
    parts = split('{"type": "big", "text": "' + "abc" * 50 + '"}', 3)
    results = await feed(manager, "wb", [piece("c", i, 3, parts[i]) for i in (2, 0, 1)])
    assert results[:2] == [None, None]
    assert results[2] == {"type": "big", "text": "abc" * 50}
    assert manager._chunk_buffers["wb"] == {}


async def test_repeated_piece_is_ignored_and_first_data_stays(manager):
    parts = split('{"a": 1}', 2)
    assert await manager._handle_chunk_message("addin", "wb", piece("c", 0, 2, parts[0])) is None
    assert await manager._handle_chunk_message("addin", "wb", piece("c", 0, 2, "garbage")) is None
    assert manager._chunk_buffers["wb"]["c"]["received"] == 1
    assert await manager._handle_chunk_message("addin", "wb", piece("c", 1, 2, parts[1])) == {"a": 1}


async def test_missing_data_is_empty_text_and_null_data_ends_incomplete(manager, logs):
    no_data = {"chunk_id": "c", "chunk_index": 1, "total_chunks": 2}
    assert await feed(manager, "wb", [piece("c", 0, 2, '{"a": 1}'), no_data]) == [None, {"a": 1}]
    assert await feed(manager, "wb", [piece("d", 0, 2, None), piece("d", 1, 2, "{}")]) == [None, None]
    assert logs.messages == ["[BusinessLayer] Incomplete chunk buffer for chunk_id d"]
    assert manager._chunk_buffers["wb"] == {}


@pytest.mark.parametrize(
    "message, text",
    [
        ({"chunk_index": 0, "total_chunks": 1, "data": "{}"}, "missing required fields"),
        ({"chunk_id": "c", "total_chunks": 1, "data": "{}"}, "missing required fields"),
        ({"chunk_id": "c", "chunk_index": 0, "total_chunks": None}, "missing required fields"),
        (piece("c", "1", 2, "{}"), "chunk_index and total_chunks must be integers"),
        (piece("c", 0, 1.0, "{}"), "chunk_index and total_chunks must be integers"),
        (piece("c", 0, 0, "{}"), "Invalid chunk_index 0 for total_chunks 0"),
        (piece("c", -1, 2, "{}"), "Invalid chunk_index -1 for total_chunks 2"),
        (piece("c", 2, 2, "{}"), "Invalid chunk_index 2 for total_chunks 2"),
        # beyond 32 and 64 bits: never truncated into a small index or total
        (piece("c", 2**31, 2, "{}"), "Invalid chunk_index 2147483648 for total_chunks 2"),
        (piece("c", 2**64, 2, "{}"), "Invalid chunk_index 18446744073709551616 for total_chunks 2"),
        (piece("c", -2**63 - 1, 2, "{}"), "Invalid chunk_index -9223372036854775809 for total_chunks 2"),
        (piece("c", 2**32, 2**32 + 1, "{}"), "total_chunks 4294967297 exceeds the limit of 4096"),
        (piece("c", 0, 2**64 + 2, "{}"), "total_chunks 18446744073709551618 exceeds the limit of 4096"),
        (piece("c", 0, 2, ["not", "text"]), "data must be a string"),
    ],
)
async def test_malformed_pieces_are_logged_and_leave_buffers_unchanged(manager, logs, message, text):
    await manager._handle_chunk_message("addin", "wb", piece("open", 0, 2, "{"))
    before = json.dumps(manager._chunk_buffers, sort_keys=True)
    logs.clear()
    assert await manager._handle_chunk_message("addin", "wb", message) is None
    [record] = logs.records
    assert record.levelno == logging.ERROR and record.getMessage().endswith(text)
    assert json.dumps(manager._chunk_buffers, sort_keys=True) == before


async def test_booleans_count_as_integers(manager):
    message = {"chunk_id": "c", "chunk_index": False, "total_chunks": True, "data": '{"ok": true}'}
    assert await manager._handle_chunk_message("kernel", "wb", message) == {"ok": True}


async def test_buffers_are_kept_per_client_id_not_per_client_type(manager):
    parts = split('{"n": 1}', 2)
    await manager._handle_chunk_message("addin", "wb1", piece("same", 0, 2, parts[0]))
    await manager._handle_chunk_message("addin", "wb2", piece("same", 0, 2, parts[0]))
    assert set(manager._chunk_buffers) == {"wb1", "wb2"}
    # the workbook's kernel shares the add-in's buffers
    assert await manager._handle_chunk_message("kernel", "wb1", piece("same", 1, 2, parts[1])) == {"n": 1}
    assert list(manager._chunk_buffers["wb2"]) == ["same"]


async def test_late_piece_opens_a_new_buffer(manager):
    parts = split('{"n": 1}', 2)
    await feed(manager, "wb", [piece("c", 0, 2, parts[0]), piece("c", 1, 2, parts[1])])
    assert await manager._handle_chunk_message("addin", "wb", piece("c", 1, 2, parts[1])) is None
    assert manager._chunk_buffers["wb"]["c"]["received"] == 1


@pytest.mark.parametrize(
    "text, log",
    [
        ('{"type": "chunk", "chunk_id": "x"}', "[BusinessLayer] Nested chunk message detected for chunk_id c, rejecting"),
        ("null", None),
        ("{not json", "Failed to parse reassembled message: "),
    ],
)
async def test_reassembled_values_that_are_not_messages(manager, logs, text, log):
    assert await feed(manager, "wb", [piece("c", i, 2, p) for i, p in enumerate(split(text, 2))]) == [None, None]
    assert manager._chunk_buffers["wb"] == {}
    if log is None:
        assert logs.records == []
    else:
        [message] = logs.messages
        assert message.startswith(log)


async def test_reassembled_array_raises_type_error(manager):
    with pytest.raises(TypeError, match="must return dict, not list"):
        await manager._handle_chunk_message("addin", "wb", piece("c", 0, 1, "[1, 2]"))
    assert manager._chunk_buffers["wb"] == {}


async def test_piece_beyond_the_slots_of_its_buffer_is_dropped(manager, logs):
    await manager._handle_chunk_message("addin", "wb", piece("c", 0, 2, '{"a":'))
    logs.clear()
    assert await manager._handle_chunk_message("addin", "wb", piece("c", 5, 10, "junk")) is None
    assert logs.messages == ["[BusinessLayer] Invalid chunk_index 5 for total_chunks 2"]
    assert manager._chunk_buffers["wb"]["c"]["chunks"] == ['{"a":', None]
    assert await manager._handle_chunk_message("addin", "wb", piece("c", 1, 2, " 1}")) == {"a": 1}


# ---------------------------------------------------------------- bounds


async def test_huge_total_is_rejected_without_allocating(manager, logs):
    assert await manager._handle_chunk_message("addin", "wb", piece("c", 0, 10**12, "{")) is None
    assert logs.messages == ["[BusinessLayer] Chunk message rejected: total_chunks 1000000000000 exceeds the limit of 4096"]
    assert manager._chunk_buffers == {}


@pytest.mark.parametrize("size", [2**41, 2**58, 2**62, sys.maxsize])
async def test_huge_max_message_size_keeps_slots_bounded(manager, monkeypatch, logs, size):
    # Slots are made when a message opens, so however large the setting, an
    # announced total stays within what can be allocated, and the limits
    # computed from the setting do not wrap around.
    monkeypatch.setattr(relvane, "MAX_MESSAGE_SIZE", size)
    for total in (2**32 + 1, 10**10):
        assert await manager._handle_chunk_message("addin", "wb", piece("big", 0, total, "{")) is None
    assert logs.messages == [f"[BusinessLayer] Chunk message rejected: total_chunks {total} exceeds the limit of 1048576"
                             for total in (2**32 + 1, 10**10)]
    assert manager._chunk_buffers == {}
    parts = split('{"a": 1}', 2)
    assert await feed(manager, "wb", [piece("c", i, 2, p) for i, p in enumerate(parts)]) == [None, {"a": 1}]


async def test_total_limit_follows_max_message_size(manager, monkeypatch, logs):
    monkeypatch.setattr(relvane, "MAX_MESSAGE_SIZE", 1024)  # 32 KiB held, at most 4 pieces
    assert await manager._handle_chunk_message("addin", "wb", piece("ok", 3, 4, "}")) is None
    assert await manager._handle_chunk_message("addin", "wb", piece("no", 0, 5, "{")) is None
    assert logs.messages == ["[BusinessLayer] Chunk message rejected: total_chunks 5 exceeds the limit of 4"]
    assert list(manager._chunk_buffers["wb"]) == ["ok"]


async def test_oversize_message_is_dropped(manager, monkeypatch, logs):
    monkeypatch.setattr(relvane, "MAX_MESSAGE_SIZE", 1024)  # 32768 characters held per client
    big = "x" * 20000
    assert await manager._handle_chunk_message("addin", "wb", piece("c", 0, 2, big)) is None
    assert await manager._handle_chunk_message("addin", "wb", piece("c", 1, 2, big)) is None
    assert logs.messages == [
        "[BusinessLayer] Chunked message too large from wb for chunk_id c (limit 32768 characters), dropping"
    ]
    assert manager._chunk_buffers["wb"] == {}
    # what one client holds does not count against another
    await manager._handle_chunk_message("addin", "wb", piece("d", 0, 2, big))
    assert await manager._handle_chunk_message("addin", "other", piece("e", 0, 2, big)) is None
    assert list(manager._chunk_buffers["other"]) == ["e"]
    # but a client's open messages count together
    assert await manager._handle_chunk_message("addin", "wb", piece("f", 0, 2, big)) is None
    assert list(manager._chunk_buffers["wb"]) == ["d"]


async def test_message_at_the_size_limit_is_reassembled(manager, monkeypatch):
    monkeypatch.setattr(relvane, "MAX_MESSAGE_SIZE", 1024)
    text = json.dumps({"v": "y" * (32768 - 9)})
    assert len(text) == 32768
    parts = split(text, 4)
    assert (await feed(manager, "wb", [piece("c", i, 4, p) for i, p in enumerate(parts)]))[-1] == json.loads(text)


@pytest.mark.parametrize("fed_first", ["old", "new"])
async def test_room_for_a_piece_comes_from_the_least_recently_fed_message_of_any_client(manager, monkeypatch, logs,
                                                                                        fed_first):
    monkeypatch.setattr(relvane, "MAX_MESSAGE_SIZE", 1024)  # 32768 per client, 65536 in all
    await manager._handle_chunk_message("addin", "c1", piece("old", 0, 3, "x" * 20000))
    await manager._handle_chunk_message("addin", "c2", piece("m", 0, 2, "x" * 29990))
    await manager._handle_chunk_message("addin", "c3", piece("m", 0, 2, "x" * 10000))
    if fed_first == "new":  # the sender's own older message was fed last: another client's goes
        await manager._handle_chunk_message("addin", "c1", piece("old", 1, 3, "y"))
    logs.clear()
    parts = split(json.dumps({"v": "z" * 11990}), 2)
    results = await feed(manager, "c1", [piece("new", i, 2, p) for i, p in enumerate(parts)])
    assert results == [None, {"v": "z" * 11990}]
    dropped = ("old", "c1") if fed_first == "old" else ("m", "c2")
    assert logs.messages == [
        f"[BusinessLayer] Open chunked messages exceed 65536 characters in all, dropping chunk_id {dropped[0]} from {dropped[1]}"]
    assert dropped[0] not in manager._chunk_buffers.get(dropped[1], {})
    # what was dropped no longer counts against its client
    logs.clear()
    assert await manager._handle_chunk_message("addin", dropped[1], piece("again", 0, 2, "x" * 20000)) is None
    assert "again" in manager._chunk_buffers[dropped[1]] and logs.messages == []


async def test_stale_buffers_are_dropped_on_the_next_piece(manager, logs):
    await manager._handle_chunk_message("addin", "wb", piece("old", 0, 2, "{"))
    await manager._handle_chunk_message("addin", "wb", piece("fresh", 0, 2, "{"))
    manager._chunk_buffers["wb"]["old"]["updated"] -= 121
    logs.clear()
    await manager._handle_chunk_message("kernel", "another", piece("x", 0, 2, "{"))
    assert logs.messages == ["[BusinessLayer] Dropping incomplete chunked message old from wb: no piece for 120.0 s"]
    assert list(manager._chunk_buffers["wb"]) == ["fresh"]


async def test_open_buffers_per_client_are_capped(manager, logs):
    for i in range(65):
        await manager._handle_chunk_message("addin", "wb", piece(f"m{i}", 0, 2, "{"))
    assert len(manager._chunk_buffers["wb"]) == 64
    assert "m0" not in manager._chunk_buffers["wb"]
    assert logs.messages == ["[BusinessLayer] Too many open chunked messages from wb, dropping chunk_id m0"]


@pytest.mark.parametrize(
    "args, arg",
    [((None, "wb", {}), "client_type"), (("addin", 1, {}), "client_id"), (("addin", "wb", []), "message")],
)
async def test_wrong_argument_types(manager, args, arg):
    with pytest.raises(TypeError, match=f"argument '{arg}' must be"):
        manager._handle_chunk_message(*args)


# ---------------------------------------------------------------- sending


def message_of_length(n, **extra):
    msg = {"type": "big", **extra, "data": ""}
    msg["data"] = "x" * (n - len(json.dumps(msg)))
    assert len(json.dumps(msg)) == n
    return msg


async def connected(manager, client_id="wb", **kw):
    ws = Sock(**kw)
    await manager.connect("addin", client_id, ws)
    return ws


async def test_message_of_exactly_chunk_size_goes_whole(manager, logs):
    ws = await connected(manager)
    msg = message_of_length(65536)
    await manager.send_message_with_chunking("addin", "wb", msg)
    assert len(ws.sent) == 1 and ws.sent[0] is msg
    assert logs.records == []


async def test_one_character_more_gives_two_chunks(manager, logs):
    ws = await connected(manager)
    msg = message_of_length(65537)
    await manager.send_message_with_chunking("addin", "wb", msg)
    first, second = ws.sent
    assert [len(first["data"]), len(second["data"])] == [65536, 1]
    assert list(first) == ["type", "chunk_id", "chunk_index", "total_chunks", "data", "original_type"]
    assert first["chunk_id"] == second["chunk_id"] and len(first["chunk_id"]) == 36
    assert [(c["chunk_index"], c["total_chunks"], c["original_type"]) for c in ws.sent] == [(0, 2, "big"), (1, 2, "big")]
    assert logs.messages == [
        "[BusinessLayer] Chunking large message: type=big, size=65537, chunks=2",
        f"[BusinessLayer] Sent 2 chunks, chunk_id={first['chunk_id']}",
    ]


async def test_chunk_size_is_read_at_each_use_and_pieces_reassemble(manager, monkeypatch, logs):
    monkeypatch.setattr(relvane, "CHUNK_SIZE", 10)
    ws = await connected(manager)
    msg = {"text": "Grüße, 日本 ✓", "n": [1, 2]}
    await manager.send_message_with_chunking("addin", "wb", msg)
    assert all(c["original_type"] == "unknown" for c in ws.sent)
    assert all(len(c["data"]) == 10 for c in ws.sent[:-1]) and 1 <= len(ws.sent[-1]["data"]) <= 10
    assert all(c["data"].isascii() for c in ws.sent)
    assert "type=None" in logs.messages[0]
    receiver = relvane.ConnectionManager()
    results = await feed(receiver, "wb", reversed(ws.sent))
    assert results[-1] == msg


async def test_sending_to_a_client_that_is_not_connected_does_nothing(manager, logs):
    await manager.send_message_with_chunking("addin", "nobody", message_of_length(70000))
    assert logs.records == []


async def test_failing_send_stops_the_pieces(manager, logs):
    ws = await connected(manager, fail_at=1)
    with pytest.raises(ConnectionError):
        await manager.send_message_with_chunking("addin", "wb", message_of_length(140000))
    assert len(ws.sent) == 1
    assert not any(m.startswith("[BusinessLayer] Sent") for m in logs.messages)


async def test_unencodable_message_raises_before_sending(manager):
    ws = await connected(manager)
    with pytest.raises(TypeError):
        await manager.send_message_with_chunking("addin", "wb", {"v": object()})
    assert ws.sent == []


@pytest.mark.parametrize("text, pieces", [("", 0), ("{}", 1), ("x" * 65536, 1)])
async def test_chunked_send_called_directly(manager, logs, text, pieces):
    ws = Sock()
    await manager._send_chunked_to_client(ws, text, {"type": "t"})
    assert len(ws.sent) == pieces
    assert [d["data"] for d in ws.sent] == ([text] if pieces else [])
    assert logs.messages[0] == f"[BusinessLayer] Chunking large message: type=t, size={len(text)}, chunks={pieces}"
    assert logs.messages[1].startswith(f"[BusinessLayer] Sent {pieces} chunks, chunk_id=")
