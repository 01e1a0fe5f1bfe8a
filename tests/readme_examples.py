"""The README's protocol examples, read from its text, so that tests play an add-in
written from the README alone."""
import json
import os
import re
import textwrap

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")
SECTION = "## Protocol for add-in authors"


def protocol_section():
    with open(README, encoding="utf-8") as f:
        text = f.read()
    start = text.index(SECTION)
    end = text.find("\n## ", start + len(SECTION))
    return text[start:end if end >= 0 else len(text)]


def wire_table():
    """(names in the first column, example record) for each row of the wire-value table."""
    rows = []
    for line in protocol_section().splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")] if line.startswith("|") else []
        example = re.fullmatch(r"`(\{.*\})`", cells[1]) if len(cells) > 1 else None
        if example:
            rows.append((re.findall(r'"([^"]+)"', cells[0]), json.loads(example.group(1))))
    return rows


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


def blocks_after(marker):
    """The indented blocks of the paragraphs from the one starting with `marker` to the next
    bold heading, dedented."""
    return indented_blocks(part(marker))


def exchange(block):
    """The message after "->" and the one after "<-" in an example block."""
    sent, _, answer = block.partition("\n<- ")
    assert sent.startswith("-> "), block
    return json.loads(sent[3:]), json.loads(answer)


def part(marker):
    """The text from the paragraph starting with `marker` to the next bold heading."""
    lines = protocol_section().splitlines()
    at = next(i for i, line in enumerate(lines) if line.startswith(marker))
    end = next((i for i in range(at + 1, len(lines)) if lines[i].startswith("**")), len(lines))
    return "\n".join(lines[at:end])


def module_example(marker):
    """(name, source) of the module that the part starting with `marker` introduces with
    'With the module "name":' and the block that follows."""
    name = re.search(r'With the module "(\w+)"', part(marker).replace("\n", " ")).group(1)
    source = next(b for b in blocks_after(marker) if not b.startswith(("-> ", "<- ")))
    return name, source


def range_example():
    """(the module's name, its source, the call the add-in sends, the answer it gets)."""
    name, source = module_example("**Range arguments.**")
    call = next(b for b in blocks_after("**Range arguments.**") if b.startswith("-> "))
    sent, answer = exchange(call)
    return name, source, sent, answer


MORE = "..."  # a line "<- ..." of an example: any number of messages may come there


def exchanges_in(blocks):
    """For each example (a run of lines without a blank one, starting with an arrow), its
    messages in order, as ("->" or "<-", message), with MORE for a line "<- ..."; a message
    goes on over the lines that follow it."""
    found = []
    for block in (run for block in blocks for run in block.split("\n\n")):
        if not block.startswith(("-> ", "<- ")):
            continue
        steps = []
        for line in block.splitlines():
            if line.startswith(("-> ", "<- ")):
                steps.append([line[:2], line[3:]])
            else:
                steps[-1][1] += "\n" + line
        found.append([(way, MORE if text.strip() == MORE else json.loads(text)) for way, text in steps])
    return found


def exchanges(marker):
    """The example exchanges of the add-in part starting with `marker`."""
    return exchanges_in(blocks_after(marker))


def client_id_examples():
    """(URL, what the README says of it: "accepted" or the HTTP status, the log line
    it names or None) for each URL of the client-id examples."""
    found = []
    for line in part("**Client ids.**").splitlines():
        line = line.strip()
        if line.startswith("ws://"):
            url, _, outcome = line.partition("  ")
            status = re.search(r"HTTP (\d+)", outcome)
            found.append([url, int(status.group(1)) if status else outcome.split(":")[0].strip(), None])
        elif found and re.match(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} ", line):
            found[-1][2] = line.split(" ", 2)[2]  # without the time
    return [tuple(f) for f in found]


IDE_SECTION = "## Protocol for IDE authors"


def section(title, start_at=0):
    """The README's text from the heading `title` to the next heading of its level or above."""
    with open(README, encoding="utf-8") as f:
        text = f.read()
    start = text.index(title + "\n", start_at)
    level = "\n" + title.split(" ")[0] + " "
    ends = [e for e in (text.find(level, start + len(title)),
                        text.find("\n## ", start + len(title))) if e >= 0]
    return text[start:min(ends) if ends else len(text)]


def ide_module_examples():
    """The example exchanges of the IDE section's modules part, in the README's order."""
    with open(README, encoding="utf-8") as f:
        at = f.read().index(IDE_SECTION)
    return exchanges_in(indented_blocks(section("### Modules and runs", at)))
