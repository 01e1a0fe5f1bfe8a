// Test-only module: C++ coroutines and functions that exercise the bridge
// from the C++ side (awaiting, catching, cleanup, argument checks).
#include <stdexcept>

#include "common/coro.hpp"
#include "common/module.hpp"

namespace probe {
namespace py = pybind11;
using tv::Task;

// Calls `callback` when destroyed: shows that RAII runs on every exit path.
struct OnExit {
  py::object callback;
  ~OnExit() {
    try {
      callback();
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("OnExit");
    }
  }
};

Task await_value(py::object awaitable) {
  py::object r = co_await awaitable;
  co_return r;
}

Task await_each(py::list awaitables) {
  py::list out;
  for (py::handle a : awaitables) out.append(co_await py::reinterpret_borrow<py::object>(a));
  co_return out;
}

Task catch_class(py::object awaitable, py::object cls) {
  try {
    py::object r = co_await awaitable;
    co_return py::make_tuple("returned", r);
  } catch (py::error_already_set& e) {
    if (!e.matches(cls.ptr())) throw;
    co_return py::make_tuple("caught", e.value());
  }
}

Task guarded(py::object awaitable, py::object on_exit) {
  OnExit guard{on_exit};
  py::object r = co_await awaitable;
  co_return r;
}

Task touch_then_await(py::object on_start, py::object awaitable) {
  on_start();
  co_await awaitable;
  co_return py::none();
}

// Keeps awaiting after GeneratorExit: close() must refuse that.
Task stubborn(py::object first, py::object second) {
  bool interrupted = false;
  try {
    co_await first;
  } catch (py::error_already_set&) {
    interrupted = true;
  }
  if (interrupted) co_await second;
  co_return py::none();
}

Task raise_cpp(py::str message) {
  throw std::runtime_error(std::string(message));
  co_return py::none();
}

Task raise_stop_iteration() {
  PyErr_SetString(PyExc_StopIteration, "leaked");
  throw py::error_already_set();
  co_return py::none();
}

Task return_tuple() { co_return py::make_tuple(1, 2); }

Task nested(py::int_ depth) {
  long d = depth.cast<long>();
  if (d == 0) co_return py::int_(0);
  py::object inner = co_await nested(py::int_(d - 1));
  co_return py::int_(inner.cast<long>() + 1);
}

Task typed(py::str text, py::dict mapping, tv::OptStr maybe, py::bool_ flag) {
  co_return py::make_tuple(text, mapping, maybe, flag);
}

Task method(py::object self, py::str x) { co_return py::make_tuple(self, x); }

py::object plain(py::str text, py::list items) { return py::make_tuple(text, items); }

// A WebSocket endpoint: accept, greet, echo JSON until the client leaves.
Task echo_endpoint(py::object websocket, py::str client_id) {
  co_await websocket.attr("accept")();
  py::dict hello;
  hello["type"] = "ping";
  hello["client_id"] = client_id;
  co_await websocket.attr("send_json")(hello);
  static PyObject* disconnect = tv::import_attr("fastapi", "WebSocketDisconnect");
  while (true) {
    py::object message;
    try {
      message = co_await websocket.attr("receive_json")();
    } catch (py::error_already_set& e) {
      if (!e.matches(disconnect)) throw;
      break;
    }
    co_await websocket.attr("send_json")(message);
  }
  co_return py::none();
}

void startup(py::module_ m) {
  tv::Scope s = tv::module_scope(m);
  tv::def<&await_value>(s, "await_value", {"awaitable"});
  tv::def<&await_each>(s, "await_each", {"awaitables"});
  tv::def<&catch_class>(s, "catch_class", {"awaitable", "cls"});
  tv::def<&guarded>(s, "guarded", {"awaitable", "on_exit"});
  tv::def<&touch_then_await>(s, "touch_then_await", {"on_start", "awaitable"});
  tv::def<&stubborn>(s, "stubborn", {"first", "second"});
  tv::def<&raise_cpp>(s, "raise_cpp", {"message"});
  tv::def<&raise_stop_iteration>(s, "raise_stop_iteration", {});
  tv::def<&return_tuple>(s, "return_tuple", {});
  tv::def<&nested>(s, "nested", {"depth"});
  tv::def<&typed>(s, "typed", {"text", "mapping", {"maybe", py::none()}, {"flag", py::bool_(false)}},
                  "Echoes its checked arguments.");
  tv::def<&plain>(s, "plain", {"text", "items"});
  py::object ws_type = py::module_::import("fastapi").attr("WebSocket");
  tv::def<&echo_endpoint>(s, "echo_endpoint", {tv::Param("websocket").with_annotation(ws_type), "client_id"});
  tv::make_class(s, "Probe", [](tv::Scope& cls) { tv::def<&method>(cls, "method", {"self", "x"}); });
}

tv::OnceModule module_def("_bridge_probe", "Coroutine bridge probe (tests only).", &startup);
}  // namespace probe

PyMODINIT_FUNC PyInit__bridge_probe() { return probe::module_def.init(); }
