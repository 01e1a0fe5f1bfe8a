"""The add-in protocol's examples in the docs, played by an add-in that knows only the
docs, against the real host and kernel program: streams, Office.js requests answered as
the docs answer them (releases included, in the order they show), the entries of the
answers at connect and what comes of them, what the workbook keeps and gives back at the
next connect, the messages the add-in sends on its own, and the client-id rule. An
example that is wrong fails its test."""
import asyncio
import json
import uuid

import pytest
import websockets

from e2e_clients import Client
from helpers import wait_until
from readme_examples import ADDIN_DOC, CONNECT_REQUESTS, Player, client_id_examples, exchanges, module_example
from servers import scaled
from test_host_program_e2e import KERNELS_ON, master


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    with master(tmp_path_factory.mktemp("home"), env=KERNELS_ON) as (port, log, _):
        yield port, log


class DocAddin(Client):
    """An add-in that answers the connect questions an example does not show: its
    workbook holds the example's module and nothing else."""

    def __init__(self, ws, modules, shown):
        super().__init__(ws)
        self.modules, self.shown = modules, shown

    async def on_message(self, message):
        kind = message.get("type")
        if kind in CONNECT_REQUESTS and kind not in self.shown:
            answer = {"get_modules_request": {"type": "get_modules_response", "modules": self.modules},
                      "get_functions_request": {"type": "get_functions_response"},
                      "get_packages_request": {"type": "get_packages_response"},
                      "get_events_request": {"type": "get_event_config_response"}}[kind]
            await self.send(dict(answer, request_id=message["request_id"]))


def starts_at_connect(steps):
    way, first = steps[0]
    return way == "<-" and first["type"] in CONNECT_REQUESTS


@pytest.mark.parametrize("title", [
    "## Streams", "## Office.js requests", "### Function entries", "### Package entries and python paths",
    "### Event entries", "### Packages and python paths", "### Workbook changes", "### Log lines",
], ids=["streams", "office_requests", "function_entries", "package_entries", "event_entries",
        "packages_kept", "workbook_changes", "log_lines"])
async def test_the_docs_exchanges_run_as_they_show(served, title):
    port, log = served
    examples = exchanges(ADDIN_DOC, title)
    assert examples
    module = module_example(ADDIN_DOC, title)
    modules = dict([module]) if module else {}
    workbook_id = f"docs-{uuid.uuid4().hex[:10]}"
    ide = await Client.connect(port, "ide", "ide-" + workbook_id)
    addin = None
    try:
        await ide.wait_for("ping")
        for steps in examples:
            fresh = starts_at_connect(steps)
            if addin is None or fresh:
                if addin is not None:
                    await addin.close()
                shown = {m["type"] for way, m in steps if way == "<-" and isinstance(m, dict)}
                url = f"ws://127.0.0.1:{port}/ws/addin/{workbook_id}?name=Book1"
                addin = DocAddin(await websockets.connect(url), modules, shown if fresh else set())
                if not fresh:  # calls only once "sync_custom_functions" has come, as the docs say
                    await addin.wait_for("sync_custom_functions", timeout=30)
            player = Player(addin, {"IDE": ide}, log=log, workbook_id=workbook_id)
            if fresh:
                player.start_at_connect()
            await player.play(steps)
    finally:
        if addin is not None:
            await addin.close()
        await ide.close()


async def test_client_ids_fare_as_the_docs_show(served):
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
