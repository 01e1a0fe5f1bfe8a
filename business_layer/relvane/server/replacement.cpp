// The earlier connection under a client type and id, once a newer one has
// taken its place: it gets nothing more and is closed with the reason, so that
// its client knows not to wait for answers. Its endpoint's departure then finds
// the newer connection registered and leaves everything to it.
#include "business_layer/relvane/server/replacement.hpp"

#include "business_layer/relvane/execution/pending_calls.hpp"

namespace relvane {

namespace {

// The close handshake. Nothing more is written to the connection, so the close
// frame follows at most what its transport already holds; a client that does
// not complete the handshake within SLOW_CLIENT_TIMEOUT is dropped.
Task close_with_reason(py::object websocket) {
  try {
    py::object asyncio = G(K("asyncio"));
    py::object closing = call_method(
        asyncio, K("ensure_future"),
        attr(websocket, K("close"))("code"_a = 4003, "reason"_a = "Replaced by a newer connection"));
    py::set waiting;
    waiting.add(closing);
    co_await attr(asyncio, K("wait"))(waiting, "timeout"_a = G(K("SLOW_CLIENT_TIMEOUT")));
    if (!truthy(call_method(closing, K("done")))) abort_connection(websocket);
    co_await closing;
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    // Most often the client left first: its departure is the same.
    debug("The close of a replaced connection ended early: {}", e.value());
  }
  co_return py::none();
}

}  // namespace

void close_replaced_connection(py::handle manager, py::handle client_type, py::handle client_id,
                               py::handle websocket) {
  log_info(fmt("Closing the earlier connection of {}/{}: a newer connection has replaced it", client_type, client_id));
  if (PyUnicode_CompareWithASCIIString(client_type.ptr(), "addin") == 0)
    forget_connection_calls(manager, client_id, websocket, "was replaced by a newer one");
  stop_sending(websocket);
  start_background_task(tv::as_awaitable(close_with_reason(py::reinterpret_borrow<py::object>(websocket))));
}

}  // namespace relvane
