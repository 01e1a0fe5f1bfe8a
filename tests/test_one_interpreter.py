"""Each native module loads in the main interpreter only: a subinterpreter's
import gets ImportError, whichever interpreter tries first, and the main
interpreter can import it before and after. A subinterpreter used to hang or
deadlock there, so each case runs in a child process."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

from servers import scaled

HERE = os.path.dirname(__file__)
ROOT = os.path.dirname(HERE)

MODULES = [
    ("tavrino_master.business_layer.relvane", "handle_message"),
    ("tavrino_master.python_server.tavrino.panticle", "Serializer"),
    ("_bridge_probe", "await_value"),
]

CHILD = textwrap.dedent("""
    import importlib, json, os, sys, tempfile
    import _xxsubinterpreters as interpreters
    sys.path[:0] = [{root!r}, {here!r}]
    name, attribute, main_first = {name!r}, {attribute!r}, {main_first!r}
    seen = []

    def import_in_main():
        module = importlib.import_module(name)
        seen.append(["main", getattr(module, attribute) is not None])

    def import_in_sub():
        fd, path = tempfile.mkstemp()
        os.close(fd)
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, '''
    import sys
    sys.path[:0] = %r
    try:
        __import__(%r)
        outcome = "imported"
    except ImportError as e:
        outcome = "ImportError: " + str(e)
    except BaseException as e:
        outcome = type(e).__name__ + ": " + str(e)
    with open(%r, "w") as f:
        f.write(outcome)
    ''' % ([{root!r}, {here!r}], name, path))
        finally:
            interpreters.destroy(interp)
        with open(path) as f:
            seen.append(["sub", f.read()])
        os.unlink(path)

    if main_first:
        import_in_main()
    import_in_sub()
    import_in_sub()
    if not main_first:
        import_in_main()
    sys.modules.pop(name)
    import_in_main()
    print(json.dumps(seen))
""")


@pytest.mark.parametrize("main_first", [True, False], ids=["main-first", "sub-first"])
@pytest.mark.parametrize("name, attribute", MODULES, ids=[m[0].rsplit(".", 1)[-1] for m in MODULES])
def test_only_the_main_interpreter_loads_the_module(name, attribute, main_first):
    code = CHILD.format(root=ROOT, here=HERE, name=name, attribute=attribute, main_first=main_first)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=scaled(60))
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-3000:])
    seen = json.loads(proc.stdout.strip().splitlines()[-1])
    refused = "ImportError: module %s can be loaded in the main interpreter only" % name.rsplit(".", 1)[-1]
    subs = [outcome for where, outcome in seen if where == "sub"]
    mains = [ok for where, ok in seen if where == "main"]
    assert subs == [refused, refused]
    assert mains == [True, True]
