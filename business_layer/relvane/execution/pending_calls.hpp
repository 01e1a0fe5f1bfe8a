// Calls a workbook's kernel works on for an add-in connection.
//
// Request ids are the add-in's to choose, and an add-in that reloads counts
// them afresh while the kernel may still work on its predecessor's calls. So
// the kernel gets an id of the master's making for every call ("m:<n>", never
// the same twice in the process), and the call remembers the add-in connection
// that made it and that connection's own id: the answer goes back under the
// add-in's id, to that connection, or to nobody once it has gone.
//
// The tables live on the manager; each entry is (workbook id, add-in socket,
// the add-in's request id):
//   _pending_function_executions  kernel id -> entry: worksheet-function calls
//   _kernel_calls                 kernel id -> entry: event, stream and callable
//                                 calls (made on first use)
//   _streams                      (add-in socket, add-in's id) -> kernel id of
//                                 each running stream, for the cancel (made on first use)
#pragma once

#include "business_layer/relvane/relvane.hpp"

namespace relvane {

// A field of the manager, read from its own dict where it lives.
py::object manager_field(py::handle manager, PyObject* name);
// manager.get_connection(client_type, client_id), read straight from the table.
py::object registered_connection(py::handle manager, PyObject* client_type, py::handle client_id);

// Marks the running task, and every task it starts from now on, as serving the
// add-in connection `websocket`; the returned token undoes it.
py::object mark_connection(py::handle websocket);
void unmark_connection(py::handle token);

// The add-in connection the message being handled came from, while it is the
// workbook's: its socket (none when no add-in is connected and the handler was
// called directly). A null object for a connection that has been replaced or
// has left: its message is dropped.
py::object calling_connection(py::handle manager, py::handle workbook_id);
// Whether `websocket` is the workbook's add-in connection now.
bool is_current_addin(py::handle manager, py::handle workbook_id, py::handle websocket);

// A new kernel id; and whether a value has the form of one.
py::object new_kernel_id();
bool is_kernel_id(py::handle value);

// Records a worksheet-function call before it goes to the kernel.
void record_pending_call(py::handle manager, py::handle kernel_id, py::handle workbook_id, py::handle websocket,
                         py::handle request_id);
// Takes the worksheet-function call that `workbook_id`'s kernel answers under
// `kernel_id`: its entry, or a null object when that workbook has no such call.
// Raises a type error for an id that cannot be a dictionary key.
py::object take_pending_call(py::handle manager, py::handle kernel_id, py::handle workbook_id);

// Records an event, stream or callable call; a stream can then be cancelled
// under the add-in's id. Raises a type error for an unhashable add-in id of a stream.
void record_kernel_call(py::handle manager, py::handle kernel_id, py::handle workbook_id, py::handle websocket,
                        py::handle request_id, bool stream);
// The entry of `workbook_id`'s call `kernel_id`, or a null object; `end` takes it out.
py::object find_kernel_call(py::handle manager, py::handle kernel_id, py::handle workbook_id, bool end);
// The kernel id of the stream that `websocket` runs under `request_id`, or a null object.
py::object stream_of(py::handle manager, py::handle websocket, py::handle request_id);

// For a kernel's answer that carries its call's kernel id under `key`: Relay
// for an id that is not the master's (an answer the master relays as it is),
// Drop for a call that is no longer outstanding or whose connection has gone
// (logged), Deliver once the add-in's own id is back in the message, which then
// goes to the workbook's add-in (the caller) and, for streams and events, the
// IDEs. `end` takes the call out.
enum class Route { Relay, Drop, Deliver };
Route route_kernel_answer(py::handle manager, py::handle workbook_id, py::handle message, PyObject* key, bool end);

// Forgets every call `workbook_id` has outstanding, for a kernel that was
// terminated or killed and so will never answer them. Returns how many.
Py_ssize_t drop_pending_calls_of(py::handle manager, py::handle workbook_id);

// The add-in connection `websocket` of `workbook_id` has left or was replaced:
// its calls are forgotten, its streams cancelled in the kernel, and results
// waiting to be sent to it dropped; `why` ends the log line.
void forget_connection_calls(py::handle manager, py::handle workbook_id, py::handle websocket, const char* why);

}  // namespace relvane
