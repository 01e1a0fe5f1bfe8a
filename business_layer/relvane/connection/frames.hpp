// The JSON text of a received frame turned into its message.
#pragma once

#include "business_layer/relvane/relvane.hpp"

namespace relvane {

// json.loads(text), except that no non-finite number survives: JavaScript's
// JSON.parse, which reads every frame at the add-in, refuses the NaN and
// Infinity tokens that Python's json would write for them when the message is
// sent on. A "Float" wire value holding NaN becomes the missing value
// {"type": "Null", "value": null, ...}, one holding an infinity the "String"
// "Infinity" or "-Infinity"; any other NaN becomes null and any other infinity
// the text "Infinity" or "-Infinity". Errors are json.loads' own, except that
// a frame nested too deeply for the decoder is logged as a warning and gives None.
py::object parse_frame(py::handle text);

}  // namespace relvane
