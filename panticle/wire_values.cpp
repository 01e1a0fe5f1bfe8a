// Wire values: Python values to the add-in's JSON-ready records and back.
// This is the bridge's hot path (frames and ranges go through it cell by
// cell), so it works on the C API with exact-type fast paths first.
#include <cmath>
#include <cstring>
#include <vector>

#include "panticle/wire.hpp"
#include <datetime.h>

namespace panticle {
namespace wire {

namespace {

// Records of each tag as copies of a template: one table copy is cheaper than
// three insertions into an empty dict.
PyObject* templates[std::size(kTags)];

}  // namespace

PyObject* spec_record(PyObject* type_name, PyObject* id) {
  PyObject* d = PyDict_New();
  if (!d) return nullptr;
  if (PyDict_SetItem(d, K("type"), type_name) < 0 || PyDict_SetItem(d, K("value"), id) < 0 ||
      PyDict_SetItem(d, K("isSpec"), Py_True) < 0) {
    Py_DECREF(d);
    return nullptr;
  }
  return d;
}

void init_tags() {
  for (size_t i = 0; i < std::size(kTags); ++i) {
    py::dict tpl;
    tpl[K("type")] = borrow(tv::intern(kTags[i].text.data()));  // the table's texts are literals
    tpl[K("value")] = py::none();
    tpl[K("isSpec")] = py::bool_(kTags[i].is_spec);
    templates[i] = tpl.release().ptr();  // kept for the process
  }
}

Tag tag_of(PyObject* type) {
  if (!type || !PyUnicode_Check(type) || PyUnicode_READY(type) < 0) return Tag::Other;
  if (PyUnicode_KIND(type) != PyUnicode_1BYTE_KIND) return Tag::Other;
  const std::string_view text(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(type)),
                              static_cast<size_t>(PyUnicode_GET_LENGTH(type)));
  for (size_t i = 0; i < std::size(kTags); ++i)
    if (kTags[i].text == text) return static_cast<Tag>(i);
  return Tag::Other;
}

PyObject* record(Tag tag, PyObject* value) {
  PyObject* d = PyDict_Copy(templates[static_cast<size_t>(tag)]);
  if (d && PyDict_SetItem(d, K("value"), value) < 0) Py_CLEAR(d);
  return d;
}

PyObject* record_steal(Tag tag, PyObject* value) {
  if (!value) return nullptr;
  PyObject* r = record(tag, value);
  Py_DECREF(value);
  return r;
}

PyObject* container_record(Tag tag, PyObject* items) {
  PyObject* rec = record_steal(tag, items);
  if (rec) defer_tracking(rec);
  return rec;
}

namespace {

// ------------------------------------------------------------------ containers

// A new dict of convert(value) under each key of `src`. A plain dict is read
// in place and must not change size meanwhile, as dict iteration demands;
// any other mapping is read through its items().
template <class Convert>
PyObject* convert_mapping(PyObject* src, bool plain, Convert&& convert) {
  PyObject* out = PyDict_New();
  if (!out) return nullptr;
  if (plain) {
    const Py_ssize_t size = PyDict_GET_SIZE(src);
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    while (PyDict_Next(src, &pos, &key, &item)) {
      Py_INCREF(key);
      Py_INCREF(item);
      PyObject* w = convert(item);
      Py_DECREF(item);
      int rc = w ? PyDict_SetItem(out, key, w) : -1;
      Py_DECREF(key);
      Py_XDECREF(w);
      if (rc < 0) {
        Py_DECREF(out);
        return nullptr;
      }
      if (PyDict_GET_SIZE(src) != size) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        Py_DECREF(out);
        return nullptr;
      }
    }
    return out;
  }
  PyObject* filled = tv::catch_to_null([&] {
    py::object it = steal(PyObject_GetIter(call_method(src, K("items")).ptr()));
    while (PyObject* pair_raw = PyIter_Next(it.ptr())) {
      py::object pair = steal(PySequence_Tuple(steal(pair_raw).ptr()));
      if (PyTuple_GET_SIZE(pair.ptr()) != 2) {
        PyErr_SetString(PyExc_ValueError, "items() must give (key, value) pairs");
        throw py::error_already_set();
      }
      py::object w = steal(convert(PyTuple_GET_ITEM(pair.ptr(), 1)));
      set_item(out, PyTuple_GET_ITEM(pair.ptr(), 0), w);
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return out;
  });
  if (!filled) Py_DECREF(out);
  return filled;
}

PyObject* sequence_to_wire(PyObject* v) {
  Recursion guard(" while converting a value to the wire form");
  if (!guard.ok) return nullptr;
  PyObject* items;
  if (PyList_CheckExact(v) || Py_TYPE(v) == array_type) {
    items = convert_list(v, to_wire_impl);
  } else if (PyTuple_CheckExact(v)) {
    items = build_list(PyTuple_GET_SIZE(v), [v](Py_ssize_t i) { return to_wire_impl(PyTuple_GET_ITEM(v, i)); });
  } else {
    // A subclass may iterate its own way: take what iteration gives.
    PyObject* snap = PySequence_List(v);
    if (!snap) return nullptr;
    items = convert_list(snap, to_wire_impl);
    Py_DECREF(snap);
  }
  return container_record(Tag::Array, items);
}

PyObject* mapping_to_wire(PyObject* v) {
  Recursion guard(" while converting a value to the wire form");
  if (!guard.ok) return nullptr;
  PyObject* out = convert_mapping(v, PyDict_CheckExact(v) || Py_TYPE(v) == dict_type, to_wire_impl);
  if (!out) return nullptr;
  defer_tracking(out);
  return container_record(Tag::Dict, out);
}

// ------------------------------------------------------------------ scalars

PyObject* date_text(PyObject* v) {
  if (PyDate_Check(v)) {
    py::object value = borrow(v);
    if (PyDateTime_Check(v)) {
      PyObject* tz = PyObject_GetAttr(v, K("tzinfo"));
      if (!tz) return nullptr;
      bool aware = tz != Py_None;
      Py_DECREF(tz);
      if (aware) {
        PyObject* conv = PyObject_CallMethodOneArg(v, K("astimezone"), libs.utc);
        if (!conv) return nullptr;
        value = py::reinterpret_steal<py::object>(conv);
      }
    }
    return PyObject_CallMethodNoArgs(value.ptr(), K("isoformat"));
  }
  // datetime64: ISO text in its own unit, at least to the second so that it
  // is always a date-time; no zone conversion.
  return tv::catch_to_null([v] {
    py::object np = G(K("np"));
    py::object unit = call_method(np, K("datetime_data"), attr(v, K("dtype")))[py::int_(0)];
    py::object value = borrow(v);
    for (const char* coarse : {"Y", "M", "W", "D", "h", "m"}) {
      if (unit.equal(py::str(coarse))) {
        value = call_method(value, K("astype"), K("datetime64[s]"));
        break;
      }
    }
    return PyObject_Str(value.ptr());
  });
}

PyObject* bytes_to_wire(PyObject* v) {
  return tv::catch_to_null([v] {
    py::object data = PyBytes_CheckExact(v) ? borrow(v) : steal(PyBytes_FromObject(v));
    py::object enc = call_method(G(K("base64")), K("b64encode"), data);
    if (!PyBytes_Check(enc.ptr())) {
      PyErr_SetString(PyExc_TypeError, "b64encode() must return bytes");
      throw py::error_already_set();
    }
    PyObject* text = PyUnicode_DecodeASCII(PyBytes_AS_STRING(enc.ptr()), PyBytes_GET_SIZE(enc.ptr()), "strict");
    return record_steal(Tag::Bytes, text);
  });
}

// NumPy's floating scalars other than the 64-bit one (a float, taken
// earlier): float16, float32, longdouble. A NaN is a missing value; the
// others travel as the double they round to.
PyObject* numpy_float_to_wire(PyObject* v) {
  const double d = PyFloat_AsDouble(v);
  if (d == -1.0 && PyErr_Occurred()) return nullptr;
  if (std::isnan(d)) return record(Tag::Null, Py_None);
  return record_steal(Tag::Float, PyFloat_FromDouble(d));
}

bool is_type(PyObject* v, PyObject* type) { return PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(type)); }

}  // namespace

// ------------------------------------------------------------------ to_wire

PyObject* to_wire_impl(PyObject* v) {
  PyTypeObject* t = Py_TYPE(v);
  // Exact built-in types first: unambiguous whatever the rule order.
  if (t == &PyFloat_Type) return record(Tag::Float, v);
  if (t == &PyUnicode_Type) return record(Tag::String, v);
  if (t == &PyLong_Type) return record(Tag::Int, v);
  if (t == &PyList_Type || t == &PyTuple_Type) return sequence_to_wire(v);
  if (t == &PyDict_Type) return mapping_to_wire(v);

  if (v == Py_None) return record(Tag::Null, Py_None);
  if (PyBool_Check(v)) return record(Tag::Bool, v);
  if (PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(libs.np_bool))) {
    int truth = PyObject_IsTrue(v);
    if (truth < 0) return nullptr;
    return record(Tag::Bool, truth ? Py_True : Py_False);
  }
  if (PyLong_Check(v)) return record_steal(Tag::Int, PyNumber_Long(v));
  if (PyFloat_Check(v)) return record_steal(Tag::Float, PyNumber_Float(v));
  if (PyUnicode_Check(v)) return record(Tag::String, v);
  if (PyDate_Check(v) || PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(libs.np_datetime64))) {
    // "Not a time" has no date text: it travels as a missing value, as the
    // NaT cells of a datetime column do.
    if (v == libs.pd_nat) return record(Tag::Null, Py_None);
    PyObject* text = date_text(v);
    if (text && !PyDate_Check(v) && PyUnicode_CompareWithASCIIString(text, "NaT") == 0) {
      Py_DECREF(text);
      return record(Tag::Null, Py_None);
    }
    return record_steal(Tag::Date, text);
  }
  if (PyBytes_Check(v) || PyByteArray_Check(v) || PyMemoryView_Check(v)) return bytes_to_wire(v);
  if (PyList_Check(v) || PyTuple_Check(v)) return sequence_to_wire(v);
  if (PyDict_Check(v)) return mapping_to_wire(v);
  // NumPy numbers travel as the numbers they are; a timedelta64 is an
  // integer type to NumPy but no number, and goes on as text.
  if (is_type(v, libs.np_integer) && !is_type(v, libs.np_timedelta64)) return record_steal(Tag::Int, PyNumber_Long(v));
  if (is_type(v, libs.np_floating)) return numpy_float_to_wire(v);
  if (is_type(v, libs.np_ndarray)) return array_to_wire(v);
  // pandas' missing-value marker.
  if (v == libs.pd_na) return record(Tag::Null, Py_None);
  if (PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(libs.pd_series)) ||
      PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(libs.pd_frame)))
    return table_to_wire(v);
  if (PyObject_TypeCheck(v, object_type)) {
    // Read from the instance itself: a missing field must not become a remote read.
    PyObject* tname = PyObject_GenericGetAttr(v, K("_internal_typeName"));
    if (!tname) return nullptr;
    PyObject* id = PyObject_GenericGetAttr(v, K("_internal_id"));
    if (!id) {
      Py_DECREF(tname);
      return nullptr;
    }
    PyObject* r = spec_record(tname, id);
    Py_DECREF(tname);
    Py_DECREF(id);
    return r;
  }
  if (PyCallable_Check(v)) {
    return tv::catch_to_null([v] {
      py::object cid = call_method(G(K("messaging")), K("register_callable"), v);
      return record(Tag::Function, cid.ptr());
    });
  }
  return record_steal(Tag::String, PyObject_Str(v));
}

// ------------------------------------------------------------------ from_wire

namespace {

py::object from_wire_impl(PyObject* wire);

// from_wire_impl for the C-API helpers: a new reference, or null with the error set.
PyObject* from_wire_ref(PyObject* wire) {
  return tv::catch_to_null([wire] { return from_wire_impl(wire).release().ptr(); });
}

// A list of the converted items of an iterable.
py::object items_from_wire(PyObject* value) {
  if (PyList_CheckExact(value)) return steal(convert_list(value, from_wire_ref));
  py::object items = steal(PyList_New(0));
  py::object it = steal(PyObject_GetIter(value));
  while (PyObject* raw = PyIter_Next(it.ptr())) {
    py::object item = steal(raw);
    if (PyList_Append(items.ptr(), from_wire_impl(item.ptr()).ptr()) < 0) throw py::error_already_set();
  }
  if (PyErr_Occurred()) throw py::error_already_set();
  return items;
}

// The proxy of a remote array or dictionary, holding the converted items of
// the record's value.
py::object container_from_wire(PyObject* wire, Tag tag) {
  py::object id = get(wire, K("id"));
  py::object proxy = tag == Tag::Array ? new_array_proxy(id.ptr()) : new_dict_proxy(id.ptr());
  py::object value = get(wire, K("value"));
  if (!truthy(value)) return proxy;
  Recursion guard(" while converting a wire value");
  if (!guard.ok) throw py::error_already_set();
  // One extend, or one update, with every converted item.
  if (tag == Tag::Array) {
    py::object items = items_from_wire(value.ptr());
    if (PyList_SetSlice(proxy.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, items.ptr()) < 0) throw py::error_already_set();
  } else {
    py::object items = steal(convert_mapping(value.ptr(), PyDict_CheckExact(value.ptr()), from_wire_ref));
    if (PyDict_Update(proxy.ptr(), items.ptr()) < 0) throw py::error_already_set();
  }
  return proxy;
}

// `v` when it is exactly of `type`, else what `convert` makes of it.
py::object exactly(py::object v, PyTypeObject* type, PyObject* (*convert)(PyObject*)) {
  return Py_IS_TYPE(v.ptr(), type) ? v : steal(convert(v.ptr()));
}

py::object from_wire_impl(PyObject* wire) {
  if (!PyDict_CheckExact(wire)) tv::raise_arg_type("Serializer.from_wire", "wire", "dict", wire);
  py::object type = get(wire, K("type"));
  const Tag tag = tag_of(type.ptr());
  switch (tag) {
    case Tag::Null: return py::none();
    case Tag::Bool: return py::bool_(truthy(get(wire, K("value"))));
    case Tag::Int: return exactly(get(wire, K("value")), &PyLong_Type, PyNumber_Long);
    case Tag::Float: return exactly(get(wire, K("value")), &PyFloat_Type, PyNumber_Float);
    case Tag::String: return exactly(get(wire, K("value")), &PyUnicode_Type, PyObject_Str);
    case Tag::Date: {
      py::object v = get(wire, K("value"));
      PyObject* args[] = {reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType), v.ptr()};
      PyObject* parsed =
          PyObject_VectorcallMethod(K("fromisoformat"), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
      if (parsed) return steal(parsed);
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
      PyErr_Clear();
      return v;
    }
    case Tag::Bytes: {
      py::object v = get(wire, K("value"));
      py::object data = truthy(v) ? v : py::bytes("");
      return call_method(G(K("base64")), K("b64decode"), data);
    }
    case Tag::Array:
    case Tag::Dict: return container_from_wire(wire, tag);
    case Tag::Function:  // a callable's id comes back as a spec
    case Tag::Other: break;
  }
  py::object value = get(wire, K("value"));
  if (truthy(get(wire, K("isSpec")))) {
    py::object id = steal(PyNumber_Long(value.ptr()));
    return new_object_proxy(id.ptr(), type.ptr());
  }
  return steal(PyObject_Str(value.ptr()));
}

py::object to_wire_method(py::object value) { return to_wire(value.ptr()); }
py::object from_wire_method(py::object wire) { return from_wire(wire.ptr()); }

}  // namespace
}  // namespace wire

// ------------------------------------------------------------------ collector

namespace {
thread_local std::vector<PyObject*>* t_held = nullptr;
}  // namespace

TrackingScope::TrackingScope() : outer_(t_held == nullptr) {
  if (outer_) t_held = &held_;
}

TrackingScope::~TrackingScope() {
  if (!outer_) return;
  t_held = nullptr;
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  for (PyObject* o : held_)
    if (!PyObject_GC_IsTracked(o)) PyObject_GC_Track(o);
  // Releasing may free proxies of a failed conversion, whose finalisers run.
  for (PyObject* o : held_) Py_DECREF(o);
  PyErr_Restore(t, v, tb);
}

void defer_tracking(PyObject* container) {
  if (!t_held) {
    if (!PyObject_GC_IsTracked(container)) PyObject_GC_Track(container);
    return;
  }
  if (PyObject_GC_IsTracked(container)) PyObject_GC_UnTrack(container);
  t_held->push_back(Py_NewRef(container));
}

py::object to_wire(PyObject* value) {
  TrackingScope scope;
  return steal(wire::to_wire_impl(value));
}
py::object from_wire(PyObject* wire) {
  TrackingScope scope;
  return wire::from_wire_impl(wire);
}

void define_serializer(Scope& m) {
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) throw py::error_already_set();
  wire::init_tags();
  py::object any = G(K("Any"));
  py::object wire_dict = G(K("Dict"))[py::make_tuple(py::str().get_type(), any)];
  tv::make_class(m, "Serializer", [&](Scope& cls) {
    cls.ns["__doc__"] = py::str("Handles marshaling of data types between Python and JavaScript.");
    tv::def_static<&wire::to_wire_method>(cls, "to_wire", {Param("value").with_annotation(any)},
                                          "Convert a Python value to its wire form.", wire_dict.ptr());
    tv::def_static<&wire::from_wire_method>(cls, "from_wire", {Param("wire").with_annotation(wire_dict)},
                                            "Convert a wire value to a Python value.", any.ptr());
  });
}

}  // namespace panticle
