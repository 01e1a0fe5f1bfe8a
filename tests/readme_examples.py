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


def blocks_after(marker):
    """The indented blocks of the paragraphs from the one starting with `marker` to the next
    bold heading, dedented."""
    lines = protocol_section().splitlines()
    at = next(i for i, line in enumerate(lines) if line.startswith(marker))
    blocks, current = [], []
    for line in lines[at + 1:] + ["**"]:
        if line.startswith("    ") or (current and not line.strip()):
            current.append(line)
            continue
        if current:
            blocks.append(textwrap.dedent("\n".join(current)).strip("\n") + "\n")
            current = []
        if line.startswith("**"):
            return blocks


def exchange(block):
    """The message after "->" and the one after "<-" in an example block."""
    sent, _, answer = block.partition("\n<- ")
    assert sent.startswith("-> "), block
    return json.loads(sent[3:]), json.loads(answer)


def range_example():
    """(the module's name, its source, the call the add-in sends, the answer it gets)."""
    source, call = blocks_after("**Range arguments.**")[:2]
    name = re.search(r'With the module "(\w+)"', protocol_section()).group(1)
    sent, answer = exchange(call)
    return name, source, sent, answer


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


def exchanges(text):
    """Each indented example block of `text` as a list of ("->" or "<-", message); a message
    goes on over the lines indented further than its arrow."""
    blocks, current = [], None
    for line in text.splitlines() + [""]:
        if not line.startswith("    "):
            if current:
                blocks.append(current)
            current = None
            continue
        body = line[4:]
        if body.startswith(("-> ", "<- ")):
            current = current or []
            current.append([body[:2], body[3:]])
        else:
            assert current and body.startswith(" "), line
            current[-1][1] += " " + body.strip()
    return [[(arrow, json.loads(text)) for arrow, text in block] for block in blocks]


def ide_module_examples():
    """The example exchanges of the IDE section's modules part, in the README's order."""
    with open(README, encoding="utf-8") as f:
        at = f.read().index(IDE_SECTION)
    return exchanges(section("### Modules and runs", at))
