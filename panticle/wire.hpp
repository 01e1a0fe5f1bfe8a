// What the wire-value conversions and the table conversions share: the tag
// table, record making, recursion guards and list filling. These run on the C
// API and report failure by returning null with the error set.
#pragma once

#include <string_view>

#include "panticle/panticle.hpp"

namespace panticle::wire {

// The tags of wire records, in the order of kTags.
enum class Tag : unsigned char { Null, Bool, Int, Float, String, Date, Bytes, Array, Dict, Function, Other };

// The one table of tags: the text on the wire and whether records of the tag
// are specs. "Python_Function" records carry a registered callable's id.
struct TagInfo {
  std::string_view text;
  bool is_spec;
};
inline constexpr TagInfo kTags[] = {
    {"Null", false},  {"Bool", false},  {"Int", false},   {"Float", false}, {"String", false},
    {"Date", false},  {"Bytes", false}, {"Array", false}, {"Dict", false},  {"Python_Function", true},
};
static_assert(std::size(kTags) == static_cast<size_t>(Tag::Other), "one table entry per tag");

// Makes the record templates; once, at start-up.
void init_tags();
// The tag a wire record's "type" names; Other for any other value.
Tag tag_of(PyObject* type);

// A new record {"type", "value", "isSpec"} of a tag; `value` is borrowed.
PyObject* record(Tag tag, PyObject* value);
// As record(), taking ownership of `value` (which may be null on error).
PyObject* record_steal(Tag tag, PyObject* value);
// The spec record of a remote object: its type name and id, both borrowed.
PyObject* spec_record(PyObject* type_name, PyObject* id);
// The record of an "Array" or "Dict" value, taking ownership of `items`.
PyObject* container_record(Tag tag, PyObject* items);

// to_wire without its tracking scope: for the conversions' own recursion.
PyObject* to_wire_impl(PyObject* v);
// Series and frames.
PyObject* table_to_wire(PyObject* v);
// NumPy arrays: an "Array" nested like tolist(), each element as to_wire takes it.
PyObject* array_to_wire(PyObject* v);

// Guards one level of recursion of a conversion; `ok` is false (with
// RecursionError set) when the interpreter's limit is reached.
struct Recursion {
  bool ok;
  explicit Recursion(const char* where) : ok(Py_EnterRecursiveCall(where) == 0) {}
  ~Recursion() {
    if (ok) Py_LeaveRecursiveCall();
  }
  Recursion(const Recursion&) = delete;
  Recursion& operator=(const Recursion&) = delete;
};

// A list being filled is kept away from the collector until every slot holds
// an item, so nothing ever sees an empty slot.
inline PyObject* new_filling_list(Py_ssize_t n) {
  PyObject* out = PyList_New(n);
  if (out) PyObject_GC_UnTrack(out);
  return out;
}
inline void done_filling(PyObject* out) { defer_tracking(out); }
// Drops a list that failed while filling from slot `from` on: the empty slots
// get None so that the list can be released.
inline void drop_filling(PyObject* out, Py_ssize_t from, Py_ssize_t n) {
  for (Py_ssize_t k = from; k < n; ++k) PyList_SET_ITEM(out, k, Py_NewRef(Py_None));
  done_filling(out);
  Py_DECREF(out);
}

// A new list of item(i) for i in [0, n); `item` gives a new reference, or
// null with the error set, which fails the whole list.
template <class Item>
PyObject* build_list(Py_ssize_t n, Item&& item) {
  PyObject* out = new_filling_list(n);
  if (!out) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* w = item(i);
    if (!w) {
      drop_filling(out, i, n);
      return nullptr;
    }
    PyList_SET_ITEM(out, i, w);
  }
  done_filling(out);
  return out;
}

// A new list of convert(x) for each item x of the list `src`. The list may
// change while items convert (they run arbitrary code), as plain iteration
// allows: items added meanwhile are converted too, removed ones are not.
template <class Convert>
PyObject* convert_list(PyObject* src, Convert&& convert) {
  const Py_ssize_t n = PyList_GET_SIZE(src);
  PyObject* out = new_filling_list(n);
  if (!out) return nullptr;
  Py_ssize_t i = 0;
  for (; i < PyList_GET_SIZE(src); ++i) {
    PyObject* item = Py_NewRef(PyList_GET_ITEM(src, i));
    PyObject* w = convert(item);
    Py_DECREF(item);
    if (!w) {
      drop_filling(out, i, n);
      return nullptr;
    }
    if (i < n) {
      PyList_SET_ITEM(out, i, w);
    } else {
      int rc = PyList_Append(out, w);
      Py_DECREF(w);
      if (rc < 0) {
        done_filling(out);
        Py_DECREF(out);
        return nullptr;
      }
    }
  }
  done_filling(out);
  if (i < n && PyList_SetSlice(out, i, n, nullptr) < 0) {
    Py_DECREF(out);
    return nullptr;
  }
  return out;
}

}  // namespace panticle::wire
