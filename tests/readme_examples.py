"""The protocol examples of the docs, read from their text, so that tests play an add-in
or an IDE written from the docs alone, and the matching of what such a client gets
against what the docs show."""
import json
import os
import re
import textwrap

from helpers import wait_until

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ADDIN_DOC = os.path.join(ROOT, "docs", "addin-protocol.md")
IDE_DOC = os.path.join(ROOT, "docs", "ide-protocol.md")
WORKBOOK = "book-1"  # the workbook id of the examples
MORE = "..."  # a line "<- ..." of an example: any number of messages may come there
# The master's questions at connect: an example that starts with one is played on a new connection.
CONNECT_REQUESTS = ("get_modules_request", "get_functions_request", "get_packages_request", "get_events_request")
LOG_LINE = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} ")
WAYS = ("-> ", "<- ", "IDE -> ", "IDE <- ", "inspector -> ")


def read(doc):
    with open(doc, encoding="utf-8") as f:
        return f.read()


def section(doc, title):
    """The text of `doc` from the heading `title` to the next heading of its level or above."""
    text = read(doc)
    start = text.index("\n" + title + "\n") + 1
    level = len(title.split(" ")[0])
    ends = [m.start() for m in re.finditer(r"^(#+) ", text[start + len(title):], re.M) if len(m.group(1)) <= level]
    return text[start:start + len(title) + ends[0]] if ends else text[start:]


def indented_blocks(text):
    """The indented blocks of `text`, dedented."""
    blocks, current = [], []
    for line in text.splitlines() + ["end"]:
        if line.startswith("    ") or (current and not line.strip()):
            current.append(line)
            continue
        if current:
            blocks.append(textwrap.dedent("\n".join(current)).strip("\n") + "\n")
            current = []
    return blocks


def starts_step(line):
    return line.startswith(WAYS) or bool(LOG_LINE.match(line))


def exchanges_in(blocks):
    """For each example (a run of lines without a blank one, starting with an arrow), its
    steps in order: ("->" or "<-", message) for the reader of the doc, ("IDE ->", message)
    and the like for another party, MORE for a line "<- ...", and ("log", text) for a line
    of the master's log (without its time). A message goes on over the lines that follow it."""
    found = []
    for block in (run for block in blocks for run in block.split("\n\n")):
        if not block.startswith(WAYS):
            continue
        steps = []
        for line in block.splitlines():
            if starts_step(line):
                way, _, text = line.partition(" ") if LOG_LINE.match(line) is None else ("log", "", line)
                if way in ("IDE", "inspector"):
                    arrow, _, text = text.partition(" ")
                    way += " " + arrow
                steps.append([way, text])
            else:
                steps[-1][1] += "\n" + line
        found.append([(way, text.split(" ", 2)[2] if way == "log"
                       else MORE if text.strip() == MORE else json.loads(text)) for way, text in steps])
    return found


def exchanges(doc, title):
    """The example exchanges of the part of `doc` under the heading `title`."""
    return exchanges_in(indented_blocks(section(doc, title)))


def module_example(doc, title):
    """(name, source) of the module that the part introduces with 'With the module "name":'
    and the block that follows, or None when it has none."""
    text = section(doc, title)
    named = re.search(r'With the module "(\w+)"', text.replace("\n", " "))
    if named is None:
        return None
    source = next(b for b in indented_blocks(text) if not b.startswith(WAYS))
    return named.group(1), source


def wire_table():
    """(names in the first column, example record) for each row of the wire-value table."""
    rows = []
    for line in section(ADDIN_DOC, "## Wire values").splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")] if line.startswith("|") else []
        example = re.fullmatch(r"`(\{.*\})`", cells[1]) if len(cells) > 1 else None
        if example:
            rows.append((re.findall(r'"([^"]+)"', cells[0]), json.loads(example.group(1))))
    return rows


def range_example():
    """(the module's name, its source, the call the add-in sends, the answer it gets)."""
    name, source = module_example(ADDIN_DOC, "## Range arguments")
    [[(sent_way, sent), (answer_way, answer)]] = exchanges(ADDIN_DOC, "## Range arguments")
    assert (sent_way, answer_way) == ("->", "<-")
    return name, source, sent, answer


def client_id_examples():
    """(URL, what the docs say of it: "accepted" or the HTTP status, the log line
    it names or None) for each URL of the client-id examples."""
    found = []
    for line in section(ADDIN_DOC, "## Client ids").splitlines():
        line = line.strip()
        if line.startswith("ws://"):
            url, _, outcome = line.partition("  ")
            status = re.search(r"HTTP (\d+)", outcome)
            found.append([url, int(status.group(1)) if status else outcome.split(":")[0].strip(), None])
        elif found and LOG_LINE.match(line):
            found[-1][2] = line.split(" ", 2)[2]  # without the time
    return [tuple(f) for f in found]


def for_workbook(message, workbook_id):
    """The example's message with the examples' workbook id replaced by `workbook_id`."""
    if isinstance(message, dict):
        return {k: for_workbook(v, workbook_id) for k, v in message.items()}
    if isinstance(message, list):
        return [for_workbook(v, workbook_id) for v in message]
    if isinstance(message, str):
        return re.sub(rf"\b{WORKBOOK}\b", workbook_id, message)
    return message


ID_FORMS = re.compile(r"[0-9a-f]{32}|[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}")


def is_id_placeholder(key, value):
    return key in ("requestId", "request_id") and isinstance(value, str) and value.endswith("...")


def matches(expected, got, ids):
    """Whether a received message is the example's. A text ending in "..." stands for
    any text that begins alike; a "requestId" or "request_id" ending in "..." for any
    id the kernel or the master makes, the same one wherever the example repeats it
    (bound in `ids`)."""
    if isinstance(expected, dict):
        if not isinstance(got, dict) or set(expected) != set(got):
            return False
        for key, value in expected.items():
            if is_id_placeholder(key, value):
                if not ID_FORMS.fullmatch(str(got[key])) or ids.setdefault(value, got[key]) != got[key]:
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
    """The example's message with each request id it names replaced by the real one."""
    if isinstance(message, dict):
        sent = {}
        for key, value in message.items():
            if is_id_placeholder(key, value):
                assert value in ids, f"the docs answer {value}, which no request they show carries"
                sent[key] = ids[value]
            else:
                sent[key] = with_ids(value, ids)
        return sent
    if isinstance(message, list):
        return [with_ids(v, ids) for v in message]
    return message


class Player:
    """Plays an example's steps as the doc's reader (`me`) and the other parties it names
    ({"IDE": client, ...}): sends each "->" message, takes each message a party receives
    of the types the example shows it as the next "<-" message of that party, and waits
    for each log line. `before(expected)` runs before a "<-" message is waited for."""

    def __init__(self, me, others=None, log=None, workbook_id=WORKBOOK, before=None):
        self.parties = dict(others or {}, **{"": me})
        self.cursors = {name: len(client.received) for name, client in self.parties.items()}
        self.log = log
        self.workbook_id = workbook_id
        self.before = before

    def start_at_connect(self):
        """The reader's messages count from its first one: its connect questions are part of the example."""
        self.cursors[""] = 0

    def _arrived(self, party, types, waiting):
        client = self.parties[party]
        while self.cursors[party] < len(client.received):
            message = client.received[self.cursors[party]]
            self.cursors[party] += 1
            if message.get("workbook_id", self.workbook_id) != self.workbook_id:
                continue  # another workbook's
            for m in (message["results"] if message.get("type") == "batch_results" else [message]):
                if m.get("type") in types:
                    waiting.append(m)
        return waiting

    async def play(self, steps, timeout=30):
        steps = [(way, m if m is MORE or way == "log" else for_workbook(m, self.workbook_id)) for way, m in steps]
        types, waiting = {}, {}
        for way, m in steps:
            party, _, arrow = way.rpartition(" ") if " " in way else ("", "", way)
            if arrow == "<-" and m is not MORE:
                types.setdefault(party, set()).add(m["type"])
        for party in types:
            waiting[party] = []
        ids, more = {}, False

        async def next_of(party):
            await wait_until(lambda: self._arrived(party, types[party], waiting[party]), timeout)
            return waiting[party].pop(0)

        for way, expected in steps:
            party, _, arrow = way.rpartition(" ") if " " in way else ("", "", way)
            if expected is MORE:
                more = True
            elif way == "log":
                await wait_until(lambda: expected in read(self.log), timeout)
            elif arrow == "->":
                await self.parties[party].send(with_ids(expected, ids))
            else:
                if self.before:
                    await self.before(expected)
                got = await next_of(party)
                if expected["type"] == "stdout":  # output may come cut into pieces
                    while len(got.get("content", "")) < len(expected["content"]):
                        piece = await next_of(party)
                        got = dict(got, content=got["content"] + piece["content"])
                while more and not matches(expected, got, dict(ids)):
                    got = await next_of(party)
                more = False
                assert matches(expected, got, ids), f"the docs show\n{expected}\n{party or 'the reader'} got\n{got}"
        for party in types:
            left = self._arrived(party, types[party], waiting[party])
            assert not left, f"after the example's last message {party or 'the reader'} got {left}"
