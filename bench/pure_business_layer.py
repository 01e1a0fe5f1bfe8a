"""The business layer's hot road written in plain Python, as a baseline.

The same steps as `relvane` for a worksheet-function call and for the plain
relays, written the way a careful Python developer would: module globals read
at each use, f-string log lines, one task per background step, an
`asyncio.Lock` around the result batcher. Only what the benchmark drives is
here; every step that `relvane` takes on these roads is.
"""
import asyncio
import hashlib
import keyword
import logging
import re
import uuid

logger = logging.getLogger("bench.pure_business_layer")

VALID_PYTHON_IDENTIFIER_PART = re.compile(r"^[a-zA-Z_][a-zA-Z0-9_]*$")


def validate_python_identifier(name):
    if not name:
        return False, "Name cannot be empty"
    if len(name) > 256:
        return False, "Name too long (max 256 characters)"
    for part in name.split("."):
        if not part:
            return False, "Name contains empty parts"
        if not VALID_PYTHON_IDENTIFIER_PART.fullmatch(part):
            return False, f"Invalid identifier: {part}"
        if part in keyword.kwlist:
            return False, f"Python keyword not allowed: {part}"
    return True, ""


def compute_code_hash(code):
    return hashlib.sha256(code.encode("utf-8")).hexdigest()


class ResultBatcher:
    COALESCE_DELAY = 0.005

    def __init__(self, manager):
        self._manager = manager
        self._pending = {}
        self._flush_tasks = {}
        self._lock = asyncio.Lock()

    async def add_result(self, workbook_id, message):
        async with self._lock:
            self._pending.setdefault(workbook_id, []).append(message)
            if workbook_id not in self._flush_tasks:
                self._flush_tasks[workbook_id] = asyncio.create_task(self._flush_after_delay(workbook_id))

    async def _flush_after_delay(self, workbook_id):
        await asyncio.sleep(self.COALESCE_DELAY)
        await self._flush_workbook(workbook_id)

    async def _flush_workbook(self, workbook_id):
        async with self._lock:
            messages = self._pending.pop(workbook_id, [])
            self._flush_tasks.pop(workbook_id, None)
        if not messages:
            return
        if len(messages) == 1:
            await self._manager.send_message("addin", workbook_id, messages[0])
        else:
            await self._manager.send_message("addin", workbook_id, {"type": "batch_results", "results": messages})


class ConnectionManager:
    def __init__(self):
        self.active_connections = {"addin": {}, "ide": {}, "kernel": {}, "inspector": {}}
        self.workbook_modules = {}
        self._pending_requests = {}
        self._synced_hashes = {}
        self._pending_function_executions = {}
        self._result_batcher = ResultBatcher(self)

    def get_connection(self, client_type, client_id):
        return self.active_connections.get(client_type, {}).get(client_id)

    async def send_message(self, client_type, client_id, message):
        websocket = self.get_connection(client_type, client_id)
        if websocket is not None:
            await websocket.send_json(message)

    async def send_to_addin(self, workbook_id, message):
        await self.send_message("addin", workbook_id, message)

    async def broadcast(self, client_type, message):
        connections = self.active_connections.get(client_type, {})
        if connections:
            await asyncio.gather(*(ws.send_json(message) for ws in list(connections.values())),
                                 return_exceptions=True)

    def handle_response(self, message):
        request_id = message.get("request_id") or message.get("requestId")
        if not request_id:
            return False
        future = self._pending_requests.get(request_id)
        if future is None or future.done():
            return False
        future.set_result(message)
        logger.debug(f"Completed pending request: {request_id}")
        return True


manager = ConnectionManager()
_background = set()


def start_background_task(coro):
    task = asyncio.create_task(coro)
    _background.add(task)
    task.add_done_callback(_background.discard)
    return task


async def _try_handle_response(message):
    try:
        return manager.handle_response(message)
    except Exception as e:
        logger.error(f"Error handling response: {e}", exc_info=e)
        return False


async def handle_message(client_type, client_id, message):
    message_type = message.get("type")
    request_id = message.get("request_id", "N/A")
    if message_type == "chunk":
        whole = await manager._handle_chunk_message(client_type, client_id, message)
        if whole:
            await handle_message(client_type, client_id, whole)
        return
    start_background_task(_try_handle_response(message))
    logger.debug(f"[TIMING] Received from {client_type}: type={message_type}, request_id={request_id}")
    handler = MESSAGE_HANDLERS.get(client_type, {}).get(message_type)
    if handler is None:
        logger.warning(f"No handler for {client_type}/{message_type}")
        return
    await handler(client_id, message)


# Digests of module texts already hashed: workbook id -> {module name -> (text, digest)}. A str never
# changes and the entry holds it, so the very same object again has the same digest.
_hashed_texts = {}


def _code_hash(hashed, name, code):
    if type(code) is not str:
        return compute_code_hash(code)
    entry = hashed.get(name)
    if entry is not None and entry[0] is code:
        return entry[1]
    digest = compute_code_hash(code)
    hashed[name] = (code, digest)
    return digest


async def full_code_sync(workbook_id):
    synced = manager._synced_hashes.setdefault(workbook_id, {})
    hashed = _hashed_texts.setdefault(workbook_id, {})
    items = list(manager.workbook_modules.get(workbook_id, {}).items())
    sent = live = 0
    for name, code in items:
        if not code:
            continue
        code_hash = _code_hash(hashed, name, code)
        live += 1
        if synced.get(name) == code_hash:
            continue
        await manager.send_message("kernel", workbook_id, {"type": "update_module", "workbook_id": workbook_id,
                                                           "module_name": name, "code": code})
        synced[name] = code_hash
        sent += 1
        logger.debug(f"[Full Sync] Synced module '{name}' to kernel")
    if len(hashed) > live:  # modules gone or emptied keep no old text alive
        names = {name for name, code in items if code}
        for name in [n for n in hashed if n not in names]:
            del hashed[name]
    if sent:
        logger.info(f"[Full Sync] Synced {sent} module(s) to kernel for workbook: {workbook_id}")


def _invalid_name(name):
    ok, reason = validate_python_identifier(name)
    return None if ok else reason


def _call_error(module_name, function_name):
    if not module_name:
        return "function_execution/event_execution missing module_name"
    if not function_name:
        return "function_execution/event_execution missing function_name"
    reason = _invalid_name(module_name)
    if reason is not None:
        return f"Invalid module name '{module_name}': {reason}"
    reason = _invalid_name(function_name)
    if reason is not None:
        return f"Invalid function name '{function_name}': {reason}"
    return None


async def handle_function_event_execution(client_id, message):
    workbook_id = client_id
    message_type = message.get("type", "")
    module_name = message.get("module_name", "")
    function_name = message.get("function_name", "")
    args = message.get("args", [])
    request_id = message["request_id"] if "request_id" in message else str(uuid.uuid4())
    is_function_execution = message_type == "function_execution"

    error = _call_error(module_name, function_name)
    if error is not None:
        logger.warning(error)
        validation = {"type": "ValidationError", "message": error}
        await manager.send_message("addin", workbook_id, {
            "type": "execution_error", "success": False, "error": validation, "request_id": request_id,
            "workbook_id": workbook_id, "module_name": module_name, "function_name": function_name})
        if is_function_execution:
            await manager.send_message("addin", workbook_id, {
                "type": "function_execution_result", "request_id": request_id, "success": False,
                "error": dict(validation)})
        return

    await full_code_sync(workbook_id)

    call = {"type": "custom_function_call" if is_function_execution else "event_execution",
            "module_name": module_name, "function_name": function_name, "args": args,
            "request_id": request_id, "workbook_id": workbook_id}
    if not is_function_execution:
        for key in ("object_name", "event_type", "object_type"):
            call[key] = message.get(key, "")
    logger.debug(f"Forwarding function/event execution to kernel: {module_name}.{function_name}")
    logger.debug(f"[TIMING] Forwarded to kernel: type={call['type']}, request_id={request_id}")
    if is_function_execution:
        manager._pending_function_executions[request_id] = workbook_id
    await manager.send_message("kernel", workbook_id, call)


async def _handle_answer(client_id, message, success):
    pending = manager._pending_function_executions
    request_id = message.get("request_id", "N/A")
    if not (request_id and pending.get(request_id, _MISSING) == client_id):
        await handle_kernel_transfert(client_id, message)
        return
    workbook_id = pending.pop(request_id)
    if success:
        result = {"type": "function_execution_result", "request_id": request_id, "status": "success",
                  "result": message.get("result"), "logs": message.get("logs", "")}
    else:
        result = {"type": "function_execution_result", "request_id": request_id, "status": "error",
                  "error": message.get("error", {"message": "Unknown error"}), "logs": message.get("logs", "")}
    await manager._result_batcher.add_result(workbook_id, result)
    if success:
        logger.debug(f"Queued function_execution_result for request_id: {request_id}")
    else:
        logger.debug(f"Queued function_execution_result (error) for request_id: {request_id}")


_MISSING = object()


async def handle_kernel_execution_result(client_id, message):
    await _handle_answer(client_id, message, True)


async def handle_kernel_execution_error(client_id, message):
    await _handle_answer(client_id, message, False)


async def handle_kernel_transfert(client_id, message):
    await manager.send_message("addin", client_id, message)
    await manager.broadcast("ide", message)


async def handle_execution_request(client_id, message):
    await manager.send_message("kernel", client_id, message)


async def handle_kernel_to_addin(client_id, message):
    await manager.send_to_addin(client_id, message)


MESSAGE_HANDLERS = {
    "addin": {"execution_request": handle_execution_request,
              "function_execution": handle_function_event_execution,
              "event_execution": handle_function_event_execution},
    "kernel": {"execution_result": handle_kernel_execution_result,
               "execution_error": handle_kernel_execution_error,
               "sys_request": handle_kernel_to_addin},
    "ide": {},
    "inspector": {},
}
