"""Walks over a list or dict whose body runs Python code cover the items the
container held when the walk began, even when that code clears or grows the
container. They used to read freed memory, so each case runs in a child
process."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

from servers import scaled

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

PRELUDE = textwrap.dedent("""
    import asyncio, json, logging, sys
    sys.path.insert(0, %r)
    import tavrino_master.business_layer.relvane as relvane
    logging.disable(logging.CRITICAL)
    MODE = sys.argv[1]

    def mutate(container):
        # Frees the item array (or table) the walk began on.
        if isinstance(container, dict):
            container.clear()
            if MODE == "grow":
                container.update({"k%%d" %% i: [] for i in range(2000)})
        else:
            container.clear()
            if MODE == "grow":
                container.extend(object() for _ in range(2000))
""" % ROOT)

WALKS = {
    "normalize_python_paths": ("""
        class Path(dict):
            def get(self, key, default=None):
                mutate(paths)
                return dict.get(self, key, default)

        paths = ["/a", Path(path="/b"), Path(path="/c"), "/d"]
        print(json.dumps(relvane.normalize_python_paths(paths)))
    """, ["/a", "/b", "/c", "/d"]),

    "handle_update_published_functions": ("""
        functions = [{"name": n} for n in "abc"]
        seen = []

        class Manager:
            def _validate_function_entry(self, entry):
                mutate(functions)
                return True
            async def handle_update_published_functions(self, workbook_id, valid):
                seen.extend(e["name"] for e in valid)

        relvane.manager = Manager()
        asyncio.run(relvane.handle_update_published_functions("i", {"workbook_id": "wb", "functions": functions}))
        print(json.dumps(seen))
    """, ["a", "b", "c"]),

    "handle_rename_module_in_events": ("""
        entry = {"object_type": "Worksheet", "event_name": "onChanged", "function_name": "f"}
        events = [dict(entry, object_id=n) for n in "ABC"]
        seen = []

        class Manager:
            async def handle_unregister_handler(self, workbook_id, object_id, event_name):
                await asyncio.sleep(0)
                mutate(events)
                seen.append(object_id)
                return True
            async def handle_register_handler(self, *args):
                return True

        relvane.manager = Manager()
        asyncio.run(relvane.handle_rename_module_in_events("i", {
            "workbook_id": "wb", "old_module_name": "o", "new_module_name": "n", "events": events}))
        print(json.dumps(seen))
    """, ["A", "B", "C"]),

    "_find_package_by_name": ("""
        class Entry(dict):
            def __getitem__(self, key):
                mutate(packages)
                return dict.__getitem__(self, key)

        packages = [Entry(name=n) for n in ("alpha", "beta", "Gamma")]
        found = relvane._find_package_by_name(packages, "gamma")
        print(json.dumps(None if found is None else dict.__getitem__(found, "name")))
    """, "Gamma"),

    "handle_kernel_batch": ("""
        messages = [{"type": "t", "n": n} for n in range(3)]
        seen = []

        async def done():
            return None

        def handle_message(client_type, client_id, element):
            mutate(messages)
            seen.append(element["n"])
            return done()

        relvane.handle_message = handle_message
        asyncio.run(relvane.handle_kernel_batch("k", {"type": "batch", "messages": messages}))
        print(json.dumps(seen))
    """, [0, 1, 2]),

    "get_connections": ("""
        class Ids:
            def __init__(self, *ids):
                self.ids = ids
            def __iter__(self):
                mutate(table)
                return iter(self.ids)

        table = {"addin": Ids("w1"), "ide": Ids("i1", "i2"), "kernel": Ids()}

        class Manager:
            active_connections = table

        relvane.manager = Manager()
        print(json.dumps(asyncio.run(relvane.get_connections())))
    """, {"addin": ["w1"], "ide": ["i1", "i2"], "kernel": []}),
}


@pytest.mark.parametrize("mode", ["clear", "grow"])
@pytest.mark.parametrize("walk", sorted(WALKS))
def test_walk_survives_a_body_that_resizes_its_container(walk, mode):
    body, expected = WALKS[walk]
    proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body), mode],
                          capture_output=True, text=True, timeout=scaled(60))
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-3000:])
    assert json.loads(proc.stdout.strip().splitlines()[-1]) == expected
