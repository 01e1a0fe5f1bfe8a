// Dicts built in one expression: messages and records whose keys are known
// where they are made.
#pragma once

#include <initializer_list>
#include <utility>

#include "business_layer/relvane/relvane.hpp"

namespace relvane {

// A dict with these items, in this order. In a coroutine, pass only values
// that outlive the statement (locals, parameters, interned keys): g++ 12 may
// destroy a temporary made inside the braces twice.
inline py::dict dict_of(std::initializer_list<std::pair<PyObject*, py::handle>> items) {
  py::dict d;
  for (const auto& [key, value] : items) set_item(d, key, value);
  return d;
}

}  // namespace relvane
