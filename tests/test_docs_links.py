"""Every relative link of the README and the docs leads to a file that exists and, where it
names a heading, to a heading that file has."""
import glob
import os
import re

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAGES = [os.path.join(ROOT, "README.md")] + sorted(glob.glob(os.path.join(ROOT, "docs", "*.md")))
LINK = re.compile(r"\[[^\]]+\]\(([^)\s]+)\)")


def prose(path):
    """The page without its code: indented blocks and `code` spans hold no links."""
    with open(path, encoding="utf-8") as f:
        lines = [line for line in f.read().splitlines() if not line.startswith("    ")]
    return re.sub(r"`[^`]*`", "", "\n".join(lines))


def anchors(path):
    """The anchors a markdown viewer gives the page's headings: lower case, spaces as "-",
    punctuation dropped, a repeated one numbered."""
    seen, found = {}, set()
    for title in re.findall(r"^#+ (.+)$", prose(path), re.M):
        slug = re.sub(r"[^\w\- ]", "", title.strip().lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        found.add(slug if count == 0 else f"{slug}-{count}")
    return found


def links():
    for page in PAGES:
        for target in LINK.findall(prose(page)):
            if not re.match(r"[a-z]+:", target):  # not http:, mailto:, ...
                yield os.path.relpath(page, ROOT), target


def broken(page, target):
    """Why the link is broken, or None."""
    path, _, anchor = target.partition("#")
    file = os.path.normpath(os.path.join(ROOT, os.path.dirname(page), path)) if path else os.path.join(ROOT, page)
    if not os.path.isfile(file):
        return f"{page} links to {target}: no such file"
    if anchor and anchor not in anchors(file):
        return f"{page} links to {target}: no such heading"
    return None


def test_every_link_leads_to_a_file_and_heading_that_exist_and_the_readme_links_every_doc():
    found = list(links())
    assert [why for why in (broken(page, target) for page, target in found) if why] == []
    linked = {os.path.normpath(target.partition("#")[0]) for page, target in found if page == "README.md"}
    assert {os.path.relpath(p, ROOT) for p in PAGES[1:]} <= linked
