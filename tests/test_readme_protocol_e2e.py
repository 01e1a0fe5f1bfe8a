"""The README's protocol examples for add-in authors, played by an add-in that knows
only the README, against the real host and kernel program: streams, Office.js
requests answered as the README answers them (releases included, in the order it
shows), and the client-id rule. An example that is wrong fails its test."""
import asyncio
import json
import re

import pytest
import websockets

from e2e_clients import Book
from helpers import wait_until
from readme_examples import MORE, client_id_examples, exchanges, module_example
from servers import scaled
from test_host_program_e2e import KERNELS_ON, master

STREAMS, OFFICE = "**Streams.**", "**Office.js requests.**"
# What the add-in receives about calls, streams and Office.js requests.
ABOUT_CALLS = {"sys_request", "function_execution_result", "streaming_function_result"}


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    with master(tmp_path_factory.mktemp("home"), env=KERNELS_ON) as (port, log, _):
        yield port, log


def matches(expected, got, ids):
    """Whether a received message is the README's. A text ending in "..." stands for
    any text that begins alike; a "requestId" ending in "..." for any request id, the
    same one wherever the README repeats it (bound in `ids`)."""
    if isinstance(expected, dict):
        if not isinstance(got, dict) or set(expected) != set(got):
            return False
        for key, value in expected.items():
            if key == "requestId" and isinstance(value, str) and value.endswith("..."):
                if not re.fullmatch(r"[0-9a-f]{32}", str(got[key])) or ids.setdefault(value, got[key]) != got[key]:
                    return False
            elif not matches(value, got[key], ids):
                return False
        return True
    if isinstance(expected, list):
        return isinstance(got, list) and len(got) == len(expected) and all(
            matches(e, g, ids) for e, g in zip(expected, got))
    if isinstance(expected, str) and expected.endswith("..."):
        return isinstance(got, str) and got.startswith(expected[:-3])
    return type(got) is type(expected) and got == expected


def with_ids(message, ids):
    """The README's message with each request id it names replaced by the real one."""
    if isinstance(message, dict):
        sent = {}
        for key, value in message.items():
            if key == "requestId" and isinstance(value, str) and value.endswith("..."):
                assert value in ids, f"the README answers {value}, which no request it shows carries"
                sent[key] = ids[value]
            else:
                sent[key] = with_ids(value, ids)
        return sent
    if isinstance(message, list):
        return [with_ids(v, ids) for v in message]
    return message


class Player:
    """Plays the README's exchanges as the add-in: sends each "->" message, and takes
    each message it receives about calls as the next "<-" message of the README."""

    def __init__(self, addin):
        self.addin = addin
        self.cursor = len(addin.received)
        self.waiting = []

    def arrived(self):
        while self.cursor < len(self.addin.received):
            message = self.addin.received[self.cursor]
            self.cursor += 1
            if message.get("type") == "batch_results":
                self.waiting.extend(message["results"])
            elif message.get("type") in ABOUT_CALLS:
                self.waiting.append(message)
        return self.waiting

    async def next(self):
        await wait_until(self.arrived, 30)
        return self.waiting.pop(0)

    async def play(self, steps):
        ids, more = {}, False
        for way, expected in steps:
            if expected is MORE:
                more = True
            elif way == "->":
                await self.addin.send(with_ids(expected, ids))
            else:
                got = await self.next()
                while more and not matches(expected, got, dict(ids)):
                    got = await self.next()
                more = False
                assert matches(expected, got, ids), f"the README shows\n{expected}\nthe add-in got\n{got}"
        assert not self.arrived(), f"after the README's last message the add-in got {self.waiting}"


async def book_of(port, marker, workbook):
    """An add-in whose workbook holds the module of the README's part; calls only once
    "sync_custom_functions" has come, as the README says."""
    name, source = module_example(marker)
    addin = await Book.connect(port, workbook, modules={name: source})
    await addin.wait_for("sync_custom_functions", timeout=30)
    return addin


@pytest.mark.parametrize("marker, workbook", [(STREAMS, "readme-streams"), (OFFICE, "readme-office")],
                         ids=["streams", "office_requests"])
async def test_the_readmes_exchanges_run_as_it_shows(served, marker, workbook):
    port, _ = served
    examples = exchanges(marker)
    assert examples
    addin = await book_of(port, marker, workbook)
    try:
        player = Player(addin)
        for steps in examples:
            await player.play(steps)
    finally:
        await addin.close()


async def test_client_ids_fare_as_the_readme_shows(served):
    port, log = served
    examples = client_id_examples()
    assert {outcome for _, outcome, _ in examples} == {"accepted", 403}
    for url, outcome, line in examples:
        url = url.replace("//127.0.0.1:8000/", f"//127.0.0.1:{port}/")
        if outcome == "accepted":
            ws = await websockets.connect(url)
            try:
                assert json.loads(await asyncio.wait_for(ws.recv(), scaled(5))) == {"type": "ping"}
            finally:
                await ws.close()
        else:
            with pytest.raises(websockets.InvalidStatusCode) as refused:
                await websockets.connect(url)
            assert refused.value.status_code == outcome
            await wait_until(lambda: line in log.read_text(), 10)

