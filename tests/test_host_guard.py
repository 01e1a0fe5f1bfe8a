"""Host and Origin checks of the host program, against the real master under uvicorn."""
import asyncio
import json
import socket
import uuid

import pytest
import websockets

from e2e_clients import Addin, Client, connections, kernel_processes
from helpers import wait_until
from servers import master_with_log, scaled
from tavrino_master.__main__ import parse_args
from tavrino_master.host_guard import HostGuard

CLIENT_TYPES = ["addin", "ide", "kernel", "inspector"]
CROSS_SITE = "http://127.0.0.2:18711"


@pytest.fixture(scope="module")
def plain(tmp_path_factory):
    with master_with_log(tmp_path_factory.mktemp("plain")) as found:
        yield found


@pytest.fixture(scope="module")
def listed(tmp_path_factory):
    env = {"TAVRINO_ALLOWED_ORIGINS": " http://tools.example:9000 ,,null"}
    options = ["--allow-origin", "https://Addin.example.com/", "--allow-origin", "http://second.example:8443"]
    with master_with_log(tmp_path_factory.mktemp("listed"), *options, env=env) as found:
        yield found


def status_of(port, path, headers, websocket=False):
    """Status code of one raw HTTP/1.1 request (a WebSocket handshake when asked) with exactly these headers."""
    lines = [f"GET {path} HTTP/1.1", *(f"{k}: {v}" for k, v in headers)]
    if websocket:
        lines += ["Upgrade: websocket", "Connection: Upgrade", "Sec-WebSocket-Version: 13",
                  "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="]
    else:
        lines.append("Connection: close")
    with socket.create_connection(("127.0.0.1", port), timeout=scaled(5)) as s:
        s.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
        head = b""
        while b"\r\n" not in head:
            chunk = s.recv(4096)
            assert chunk, f"connection closed before a status line; got {head!r}"
            head += chunk
    return int(head.split(b"\r\n", 1)[0].split()[1])


async def outcome(port, client_type, origin):
    """"ping" when the master took the connection (and lists it meanwhile), else the refusal's status."""
    client_id = "g-" + uuid.uuid4().hex[:10]
    url = f"ws://127.0.0.1:{port}/ws/{client_type}/{client_id}"
    try:
        ws = await asyncio.wait_for(websockets.connect(url, origin=origin), scaled(10))
    except websockets.InvalidStatusCode as refused:
        assert client_id not in json.dumps(connections(port))
        return refused.status_code
    try:
        first = json.loads(await asyncio.wait_for(ws.recv(), scaled(10)))
        assert client_id in connections(port)[client_type]
        return first["type"]
    finally:
        await ws.close()


def log_lines(log, text):
    with open(log, errors="replace") as f:
        return [line for line in f.read().splitlines() if text in line]


# ---------------------------------------------------------------- Host header

HOSTS = [
    ("127.0.0.1:{port}", True),
    ("localhost:{port}", True),
    ("LocalHost:{port}", True),
    ("[::1]:{port}", True),
    ("[0:0::1]:{port}", True),
    ("evil.example:{port}", False),
    ("localhost.evil.example:{port}", False),
    ("127.0.0.1.evil.example:{port}", False),
    ("127.0.0.2:{port}", False),
    ("127.0.0.1:{other}", False),
    ("127.0.0.1", False),
    ("127.0.0.1:{port}:1", False),
    ("::1:{port}", False),
    ("[::1:{port}", False),
    ("127.0.0.1:+{port}", False),
    ("", False),
    # Malformed for HTTP/1.1 itself: the server may refuse these before the guard does.
    (None, "malformed"),
    (["127.0.0.1:{port}", "evil.example:{port}"], "malformed"),
]
ENTRY_POINTS = [("/", False, 200), ("/connections", False, 200), ("/ws/ide/{client}", True, 101)]


@pytest.mark.parametrize("path, websocket, ok_status", ENTRY_POINTS)
@pytest.mark.parametrize("host, allowed", HOSTS)
def test_host_header_must_name_the_served_address_and_port(plain, path, websocket, ok_status, host, allowed):
    port, _ = plain
    values = [] if host is None else host if isinstance(host, list) else [host]
    headers = [("Host", v.format(port=port, other=port + 1)) for v in values]
    status = status_of(port, path.format(client="h-" + uuid.uuid4().hex[:8]), headers, websocket)
    if allowed == "malformed":
        assert status in (400, 403)
    else:
        assert status == (ok_status if allowed else 403)


@pytest.mark.parametrize("listen, host, allowed", [
    ("0.0.0.0", "192.0.2.7:{port}", True),
    ("0.0.0.0", "localhost:{port}", True),
    ("0.0.0.0", "[2001:db8::1]:{port}", True),
    ("0.0.0.0", "evil.example:{port}", False),
    ("0.0.0.0", "192.0.2.7:{other}", False),
    ("192.0.2.7", "192.0.2.7:{port}", True),
    ("192.0.2.7", "127.0.0.1:{port}", False),
    ("192.0.2.7", "192.0.2.8:{port}", False),
    ("::1", "localhost:{port}", True),
    ("127.0.0.5", "127.0.0.5:{port}", True),
    ("127.0.0.5", "127.0.0.6:{port}", False),
])
def test_host_header_follows_the_listen_address(listen, host, allowed):
    guard = HostGuard(None, listen, 8123)
    assert guard.host_allowed([host.format(port=8123, other=8124).encode()]) is allowed


@pytest.mark.parametrize("values", [[], [b"127.0.0.1:8123", b"127.0.0.1:8123"], [b"\xff\xfe:8123"]])
def test_host_header_absent_repeated_or_undecodable_is_refused(values):
    assert not HostGuard(None, "127.0.0.1", 8123).host_allowed(values)


def test_default_port_is_the_schemes():
    assert HostGuard(None, "127.0.0.1", 80).host_allowed([b"localhost"], "http")
    assert HostGuard(None, "127.0.0.1", 443).host_allowed([b"localhost"], "https")
    assert not HostGuard(None, "127.0.0.1", 443).host_allowed([b"localhost"], "http")


# ---------------------------------------------------------------- Origin

ORIGINS = [
    (None, "ping"),
    ("http://127.0.0.1:5500", "ping"),
    ("http://localhost:3000", "ping"),
    ("https://localhost", "ping"),
    ("http://[::1]:8080", "ping"),
    ("HTTP://LOCALHOST:3000", "ping"),
    (CROSS_SITE, 403),
    ("http://evil.example", 403),
    ("https://evil.example:18700", 403),
    ("http://localhost.evil.example", 403),
    ("null", 403),
    ("file://", 403),
    ("ws://localhost:3000", 403),
    ("chrome-extension://abcdef", 403),
    ("http://localhost:3000/path", 403),
    ("http://user@localhost:3000", 403),
    ("", 403),
]


@pytest.mark.parametrize("client_type", CLIENT_TYPES)
@pytest.mark.parametrize("origin, expected", ORIGINS)
async def test_origin_decides_the_handshake_for_every_client_type(plain, client_type, origin, expected):
    assert await outcome(plain[0], client_type, origin) == expected


@pytest.mark.parametrize("client_type", CLIENT_TYPES)
@pytest.mark.parametrize("origin, expected", [
    ("https://addin.example.com", "ping"),
    ("https://addin.example.com:443", "ping"),
    ("HTTPS://Addin.Example.COM", "ping"),
    ("http://second.example:8443", "ping"),
    ("http://tools.example:9000", "ping"),
    ("null", "ping"),
    ("http://localhost:4000", "ping"),
    (None, "ping"),
    ("http://addin.example.com", 403),
    ("https://addin.example.com:8443", 403),
    ("https://sub.addin.example.com", 403),
    ("http://tools.example", 403),
    (CROSS_SITE, 403),
])
async def test_origins_allowed_by_option_and_environment(listed, client_type, origin, expected):
    assert await outcome(listed[0], client_type, origin) == expected


def test_two_origin_headers_are_refused(plain):
    port, _ = plain
    headers = [("Host", f"127.0.0.1:{port}"), ("Origin", "http://localhost:1"), ("Origin", CROSS_SITE)]
    assert status_of(port, "/ws/ide/two-origins", headers, websocket=True) == 403


@pytest.mark.parametrize("option, env, expected", [
    ([], None, set()),
    (["https://Addin.Example.com:443/"], None, {"https://addin.example.com"}),
    (["null"], "http://a.example:8080, https://[0:0::1]:443", {"null", "http://a.example:8080", "https://[::1]"}),
    ([], " , ", set()),
])
def test_allowed_origins_are_normalized(monkeypatch, option, env, expected):
    if env is None:
        monkeypatch.delenv("TAVRINO_ALLOWED_ORIGINS", raising=False)
    else:
        monkeypatch.setenv("TAVRINO_ALLOWED_ORIGINS", env)
    argv = [a for o in option for a in ("--allow-origin", o)]
    assert parse_args(argv).allowed_origins == expected


@pytest.mark.parametrize("option, env", [
    (["addin.example.com"], None),
    (["https://addin.example.com/app"], None),
    (["https://addin.example.com:99999"], None),
    (["*"], None),
    ([], "https://ok.example,https://bad.example?x=1"),
])
def test_an_allowed_origin_that_is_no_origin_stops_the_host(monkeypatch, capsys, option, env):
    monkeypatch.setenv("TAVRINO_ALLOWED_ORIGINS", env or "")
    with pytest.raises(SystemExit) as stopped:
        parse_args([a for o in option for a in ("--allow-origin", o)])
    assert stopped.value.code == 2 and "not an origin" in capsys.readouterr().err


# ---------------------------------------------------------------- what a refused page reaches

async def test_refused_pages_register_nothing_and_spawn_no_kernel(plain):
    port, log = plain
    evil, control = "evil-" + uuid.uuid4().hex[:8], "ctl-" + uuid.uuid4().hex[:8]
    ide = await Client.connect(port, "ide", "watch-" + uuid.uuid4().hex[:8])
    await ide.wait_for("workbook_list")
    modules = {"calc": "def double(x):\n    return 2 * x\n"}

    for origin in (CROSS_SITE, "null"):
        with pytest.raises(websockets.InvalidStatusCode) as refused:
            await asyncio.wait_for(websockets.connect(f"ws://127.0.0.1:{port}/ws/addin/{evil}?name=Evil",
                                                      origin=origin), scaled(10))
        assert refused.value.status_code == 403
    with pytest.raises(websockets.InvalidStatusCode):
        await asyncio.wait_for(websockets.connect(f"ws://127.0.0.1:{port}/ws/kernel/{evil}", origin=CROSS_SITE),
                               scaled(10))

    # The same add-in as a native program: the master takes it and starts its kernel.
    addin = await Addin.connect(port, control, name="Control", modules=modules)
    await ide.wait_for("workbook_connected", timeout=15)
    await wait_until(lambda: kernel_processes(control), 15)

    seen = connections(port)
    assert control in seen["addin"] and evil not in json.dumps(seen)
    assert kernel_processes(evil) == []
    assert evil not in json.dumps(ide.received)
    await wait_until(lambda: log_lines(log, f"Client connected: addin/{control}"))
    assert not log_lines(log, f"Client connected: addin/{evil}") and not log_lines(log, f"kernel/{evil} ")
    for origin, path in ((CROSS_SITE, f"/ws/addin/{evil}"), ("null", f"/ws/addin/{evil}"),
                         (CROSS_SITE, f"/ws/kernel/{evil}")):
        [line] = log_lines(log, f"Refused WebSocket connection to '{path}' from origin '{origin}'")
        assert "WARNING" in line
    await addin.close()
    await ide.close()


async def test_refused_host_is_logged_and_reaches_nothing(plain):
    port, log = plain
    client = "rebind-" + uuid.uuid4().hex[:8]
    headers = [("Host", f"evil.example:{port}")]
    assert status_of(port, f"/ws/addin/{client}", headers, websocket=True) == 403
    [line] = log_lines(log, f"Refused WebSocket request for '/ws/addin/{client}' with Host 'evil.example:{port}'")
    assert "WARNING" in line
    assert client not in json.dumps(connections(port))
    assert not log_lines(log, f"Client connected: addin/{client}")
