// Wire values: Python values to the add-in's JSON-ready records and back.
// This is the bridge's hot path (frames and ranges go through it cell by
// cell), so it works on the C API with exact-type fast paths first.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "panticle/panticle.hpp"
#include <datetime.h>

namespace panticle {

namespace {

// A new record {"type", "value", "isSpec"}; `value` is borrowed. Records of
// the fixed tags are copies of a template: one table copy is cheaper than
// three insertions into an empty dict.
PyObject* templated(PyObject* tpl, PyObject* value) {
  PyObject* d = PyDict_Copy(tpl);
  if (d && PyDict_SetItem(d, names.value, value) < 0) Py_CLEAR(d);
  return d;
}

PyObject* record_plain(PyObject* tag, PyObject* value, PyObject* spec);

struct Templates {
  PyObject *Null, *Bool, *Int, *Float, *String, *Date, *Bytes, *Array, *Dict, *Function;
};
Templates tpl;

PyObject* record(PyObject* tag, PyObject* value, PyObject* spec) {
  if (spec == Py_False) {
    PyObject* t = tag == names.Float ? tpl.Float : tag == names.Int ? tpl.Int : tag == names.String ? tpl.String
                : tag == names.Array ? tpl.Array : tag == names.Bool ? tpl.Bool : tag == names.Null ? tpl.Null
                : tag == names.Dict ? tpl.Dict : tag == names.Date ? tpl.Date : tag == names.Bytes ? tpl.Bytes
                : nullptr;
    if (t) return templated(t, value);
  } else if (tag == names.Python_Function) {
    return templated(tpl.Function, value);
  }
  return record_plain(tag, value, spec);
}

void init_templates() {
  auto make = [](PyObject* tag, PyObject* spec) {
    PyObject* d = record_plain(tag, Py_None, spec);
    if (!d) throw py::error_already_set();
    return d;
  };
  tpl = {make(names.Null, Py_False),   make(names.Bool, Py_False),  make(names.Int, Py_False),
         make(names.Float, Py_False),  make(names.String, Py_False), make(names.Date, Py_False),
         make(names.Bytes, Py_False),  make(names.Array, Py_False),  make(names.Dict, Py_False),
         make(names.Python_Function, Py_True)};
}

PyObject* record_plain(PyObject* tag, PyObject* value, PyObject* spec) {
  PyObject* d = PyDict_New();
  if (!d) return nullptr;
  if (PyDict_SetItem(d, names.type, tag) < 0 || PyDict_SetItem(d, names.value, value) < 0 ||
      PyDict_SetItem(d, names.isSpec, spec) < 0) {
    Py_DECREF(d);
    return nullptr;
  }
  return d;
}

// As record(), taking ownership of `value` (which may be null on error).
PyObject* record_steal(PyObject* tag, PyObject* value, PyObject* spec = Py_False) {
  if (!value) return nullptr;
  PyObject* r = record(tag, value, spec);
  Py_DECREF(value);
  return r;
}

struct Recursion {
  bool ok;
  explicit Recursion(const char* where) : ok(Py_EnterRecursiveCall(where) == 0) {}
  ~Recursion() {
    if (ok) Py_LeaveRecursiveCall();
  }
};

PyObject* to_wire_impl(PyObject* v);

// A list being filled is kept away from the collector until every slot holds
// an item, so nothing ever sees an empty slot.
PyObject* new_filling_list(Py_ssize_t n) {
  PyObject* out = PyList_New(n);
  if (out) PyObject_GC_UnTrack(out);
  return out;
}
void done_filling(PyObject* out) { defer_tracking(out); }

// The record of an "Array" or "Dict" value (owned, may be null on error).
PyObject* container_record(PyObject* tag, PyObject* items) {
  PyObject* rec = record_steal(tag, items);
  if (rec) defer_tracking(rec);
  return rec;
}

// Items of a list whose iteration is the list's own; the list may change
// while items convert (arbitrary str() or isoformat()), as plain iteration allows.
PyObject* list_items_to_wire(PyObject* src) {
  const Py_ssize_t n = PyList_GET_SIZE(src);
  PyObject* out = new_filling_list(n);
  if (!out) return nullptr;
  Py_ssize_t i = 0;
  for (; i < PyList_GET_SIZE(src); ++i) {
    PyObject* item = PyList_GET_ITEM(src, i);
    Py_INCREF(item);
    PyObject* w = to_wire_impl(item);
    Py_DECREF(item);
    if (!w) {
      done_filling(out);
      Py_DECREF(out);
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

PyObject* tuple_items_to_wire(PyObject* src) {
  const Py_ssize_t n = PyTuple_GET_SIZE(src);
  PyObject* out = new_filling_list(n);
  if (!out) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* w = to_wire_impl(PyTuple_GET_ITEM(src, i));
    if (!w) {
      // Remaining slots are empty; fill them so the list can be released.
      for (Py_ssize_t k = i; k < n; ++k) PyList_SET_ITEM(out, k, Py_NewRef(Py_None));
      done_filling(out);
      Py_DECREF(out);
      return nullptr;
    }
    PyList_SET_ITEM(out, i, w);
  }
  done_filling(out);
  return out;
}

PyObject* sequence_to_wire(PyObject* v) {
  Recursion guard(" while converting a value to the wire form");
  if (!guard.ok) return nullptr;
  PyObject* items;
  if (PyList_CheckExact(v) || Py_TYPE(v) == array_type) {
    items = list_items_to_wire(v);
  } else if (PyTuple_CheckExact(v)) {
    items = tuple_items_to_wire(v);
  } else {
    // A subclass may iterate its own way: take what iteration gives.
    PyObject* snap = PySequence_List(v);
    if (!snap) return nullptr;
    items = list_items_to_wire(snap);
    Py_DECREF(snap);
  }
  return container_record(names.Array, items);
}

PyObject* mapping_to_wire(PyObject* v) {
  Recursion guard(" while converting a value to the wire form");
  if (!guard.ok) return nullptr;
  PyObject* out = PyDict_New();
  if (!out) return nullptr;
  if (PyDict_CheckExact(v) || Py_TYPE(v) == dict_type) {
    const Py_ssize_t size = PyDict_GET_SIZE(v);
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    while (PyDict_Next(v, &pos, &key, &item)) {
      Py_INCREF(key);
      Py_INCREF(item);
      PyObject* w = to_wire_impl(item);
      Py_DECREF(item);
      int rc = w ? PyDict_SetItem(out, key, w) : -1;
      Py_DECREF(key);
      Py_XDECREF(w);
      if (rc < 0) {
        Py_DECREF(out);
        return nullptr;
      }
      if (PyDict_GET_SIZE(v) != size) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        Py_DECREF(out);
        return nullptr;
      }
    }
    defer_tracking(out);
    return container_record(names.Dict, out);
  }
  try {
    py::object it = own(PyObject_GetIter(own(PyObject_CallMethod(v, "items", nullptr)).ptr()));
    while (PyObject* pair_raw = PyIter_Next(it.ptr())) {
      py::object pair = own(PySequence_Tuple(own(pair_raw).ptr()));
      if (PyTuple_GET_SIZE(pair.ptr()) != 2) {
        PyErr_SetString(PyExc_ValueError, "items() must give (key, value) pairs");
        throw py::error_already_set();
      }
      py::object w = own(to_wire_impl(PyTuple_GET_ITEM(pair.ptr(), 1)));
      if (PyDict_SetItem(out, PyTuple_GET_ITEM(pair.ptr(), 0), w.ptr()) < 0) throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
  } catch (py::error_already_set& e) {
    Py_DECREF(out);
    e.restore();
    return nullptr;
  }
  defer_tracking(out);
  return container_record(names.Dict, out);
}

PyObject* date_text(PyObject* v) {
  if (PyDate_Check(v)) {
    py::object value = py::reinterpret_borrow<py::object>(v);
    if (PyDateTime_Check(v)) {
      PyObject* tz = PyObject_GetAttr(v, names.tzinfo);
      if (!tz) return nullptr;
      bool aware = tz != Py_None;
      Py_DECREF(tz);
      if (aware) {
        PyObject* conv = PyObject_CallMethodOneArg(v, names.astimezone, libs.utc);
        if (!conv) return nullptr;
        value = py::reinterpret_steal<py::object>(conv);
      }
    }
    return PyObject_CallMethodNoArgs(value.ptr(), names.isoformat);
  }
  // datetime64: ISO text in its own unit, at least to the second so that it
  // is always a date-time; no zone conversion.
  try {
    py::object np = G("np");
    py::object unit = np.attr("datetime_data")(py::handle(v).attr("dtype"))[py::int_(0)];
    py::object value = py::reinterpret_borrow<py::object>(v);
    for (const char* coarse : {"Y", "M", "W", "D", "h", "m"}) {
      if (unit.equal(py::str(coarse))) {
        value = value.attr("astype")("datetime64[s]");
        break;
      }
    }
    return PyObject_Str(value.ptr());
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
  }
}

PyObject* bytes_to_wire(PyObject* v) {
  try {
    py::object data = PyBytes_CheckExact(v) ? py::reinterpret_borrow<py::object>(v) : own(PyBytes_FromObject(v));
    py::object enc = G(names.base64).attr(names.b64encode)(data);
    if (!PyBytes_Check(enc.ptr())) {
      PyErr_SetString(PyExc_TypeError, "b64encode() must return bytes");
      throw py::error_already_set();
    }
    PyObject* text = PyUnicode_DecodeASCII(PyBytes_AS_STRING(enc.ptr()), PyBytes_GET_SIZE(enc.ptr()), "strict");
    return record_steal(names.Bytes, text);
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
  }
}

// Missing values that travel as "Null": pandas' NA marker and a NaN of a
// NumPy float narrower or wider than the 64-bit one (which is a float and
// was taken earlier). Never probes attributes; a failing test means "not missing".
bool is_missing(PyObject* v) {
  if (v == libs.pd_na) return true;
  if (PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(libs.np_floating))) {
    double d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;  // left pending for the caller
      PyErr_Clear();
      return false;
    }
    return std::isnan(d);
  }
  return false;
}

// ------------------------------------------------------------------ tables

struct BufferView {
  Py_buffer view{};
  bool held = false;
  ~BufferView() {
    if (held) PyBuffer_Release(&view);
  }
};

enum class Cell { None, F64, F32, I8, I16, I32, I64, U8, U16, U32, U64, Bool, Obj };

Cell cell_kind(const Py_buffer& v) {
  const char* f = v.format ? v.format : "B";
  const bool little = [] {
    const uint16_t one = 1;
    return *reinterpret_cast<const uint8_t*>(&one) == 1;
  }();
  if (*f == '@' || *f == '=') {
    ++f;
  } else if (*f == '<') {
    if (!little) return Cell::None;
    ++f;
  } else if (*f == '>' || *f == '!') {
    if (little) return Cell::None;
    ++f;
  }
  if (!f[0] || f[1]) return Cell::None;
  const Py_ssize_t sz = v.itemsize;
  switch (f[0]) {
    case 'd': return sz == 8 ? Cell::F64 : Cell::None;
    case 'f': return sz == 4 ? Cell::F32 : Cell::None;
    case '?': return sz == 1 ? Cell::Bool : Cell::None;
    case 'O': return sz == sizeof(PyObject*) ? Cell::Obj : Cell::None;
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
      return sz == 1 ? Cell::I8 : sz == 2 ? Cell::I16 : sz == 4 ? Cell::I32 : sz == 8 ? Cell::I64 : Cell::None;
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
      return sz == 1 ? Cell::U8 : sz == 2 ? Cell::U16 : sz == 4 ? Cell::U32 : sz == 8 ? Cell::U64 : Cell::None;
    default: return Cell::None;
  }
}

template <class T>
T load(const char* p) {
  T x;
  std::memcpy(&x, p, sizeof(T));
  return x;
}

// The record of one cell, exactly what to_wire gives for the item that
// tolist() would produce for it.
PyObject* cell_to_wire(Cell kind, const char* p) {
  switch (kind) {
    case Cell::F64: return record_steal(names.Float, PyFloat_FromDouble(load<double>(p)));
    case Cell::F32: return record_steal(names.Float, PyFloat_FromDouble(load<float>(p)));
    case Cell::I8: return record_steal(names.Int, PyLong_FromLong(load<int8_t>(p)));
    case Cell::I16: return record_steal(names.Int, PyLong_FromLong(load<int16_t>(p)));
    case Cell::I32: return record_steal(names.Int, PyLong_FromLong(load<int32_t>(p)));
    case Cell::I64: return record_steal(names.Int, PyLong_FromLongLong(load<int64_t>(p)));
    case Cell::U8: return record_steal(names.Int, PyLong_FromUnsignedLong(load<uint8_t>(p)));
    case Cell::U16: return record_steal(names.Int, PyLong_FromUnsignedLong(load<uint16_t>(p)));
    case Cell::U32: return record_steal(names.Int, PyLong_FromUnsignedLong(load<uint32_t>(p)));
    case Cell::U64: return record_steal(names.Int, PyLong_FromUnsignedLongLong(load<uint64_t>(p)));
    case Cell::Bool: return record(names.Bool, load<uint8_t>(p) ? Py_True : Py_False, Py_False);
    case Cell::Obj: {
      PyObject* o = load<PyObject*>(p);
      if (!o) o = Py_None;
      Py_INCREF(o);
      PyObject* w = to_wire_impl(o);
      Py_DECREF(o);
      return w;
    }
    case Cell::None: break;
  }
  PyErr_SetString(PyExc_SystemError, "unsupported cell kind");
  return nullptr;
}

// Rows of a 2-D array read through the buffer protocol; false (no error set)
// when the array's layout or type has no fast path.
bool rows_from_buffer(PyObject* values, PyObject* out, Py_ssize_t first, bool& failed) {
  failed = false;
  BufferView b;
  if (PyObject_GetBuffer(values, &b.view, PyBUF_RECORDS_RO) < 0) {
    PyErr_Clear();
    return false;
  }
  b.held = true;
  if (b.view.ndim != 2 || !b.view.shape || !b.view.strides) return false;
  const Cell kind = cell_kind(b.view);
  if (kind == Cell::None) return false;
  const Py_ssize_t nrows = b.view.shape[0], ncols = b.view.shape[1];
  if (PyList_GET_SIZE(out) != first + nrows) return false;
  const Py_ssize_t s0 = b.view.strides[0], s1 = b.view.strides[1];
  const char* base = static_cast<const char*>(b.view.buf);
  for (Py_ssize_t i = 0; i < nrows; ++i) {
    PyObject* row = new_filling_list(ncols);
    if (!row) {
      failed = true;
      return true;
    }
    for (Py_ssize_t j = 0; j < ncols; ++j) {
      PyObject* w = cell_to_wire(kind, base + i * s0 + j * s1);
      if (!w) {
        for (Py_ssize_t k = j; k < ncols; ++k) PyList_SET_ITEM(row, k, Py_NewRef(Py_None));
        done_filling(row);
        Py_DECREF(row);
        failed = true;
        return true;
      }
      PyList_SET_ITEM(row, j, w);
    }
    done_filling(row);
    PyObject* rec = container_record(names.Array, row);
    if (!rec) {
      failed = true;
      return true;
    }
    PyObject* old = PyList_GET_ITEM(out, first + i);
    PyList_SET_ITEM(out, first + i, rec);
    Py_DECREF(old);
  }
  return true;
}

// ISO text of a datetime64[ns] value, exactly as the Timestamp that pandas
// boxes it into prints itself: microseconds when set, nanoseconds appended
// when set (after a zero microsecond part when that is zero).
PyObject* ns_date_text(int64_t ns) {
  constexpr int64_t kSecond = 1000000000;
  int64_t secs = ns / kSecond, frac = ns % kSecond;
  if (frac < 0) frac += kSecond, secs -= 1;
  int64_t days = secs / 86400, sod = secs % 86400;
  if (sod < 0) sod += 86400, days -= 1;
  // Civil date from days since 1970-01-01 (proleptic Gregorian).
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const int64_t year = yoe + era * 400 + (month <= 2);  // 1677..2262: always four digits
  char buf[40];
  char* p = buf;
  auto digits = [&p](int64_t v, int width) {
    for (int k = width - 1; k >= 0; --k, v /= 10) p[k] = static_cast<char>('0' + v % 10);
    p += width;
  };
  digits(year, 4);
  *p++ = '-';
  digits(month, 2);
  *p++ = '-';
  digits(day, 2);
  *p++ = 'T';
  digits(sod / 3600, 2);
  *p++ = ':';
  digits(sod % 3600 / 60, 2);
  *p++ = ':';
  digits(sod % 60, 2);
  const int64_t micro = frac / 1000, nano = frac % 1000;
  if (micro) {
    *p++ = '.';
    digits(micro, 6);
  }
  if (nano) {
    if (!micro) {
      *p++ = '.';
      digits(0, 6);
    }
    digits(nano, 3);
  }
  const Py_ssize_t n = p - buf;
  return PyUnicode_DecodeASCII(buf, n, "strict");
}

// One column of a frame read from its own array.
struct ColumnView {
  BufferView buffer;
  py::object array;
  Cell kind = Cell::None;
  bool dates = false;  // int64 nanoseconds of a datetime64[ns] column
  const char* base = nullptr;
  Py_ssize_t stride = 0;
};

PyObject* column_cell(const ColumnView& c, Py_ssize_t i) {
  const char* p = c.base + i * c.stride;
  if (!c.dates) return cell_to_wire(c.kind, p);
  const int64_t ns = load<int64_t>(p);
  if (ns == INT64_MIN) return record(names.Null, Py_None, Py_False);  // NaT
  return record_steal(names.Date, ns_date_text(ns));
}

// The rows of a frame whose values array would hold objects (a text or
// object column among plain NumPy ones), read column by column: each cell
// becomes what that array would hold for it (numbers and flags as Python
// numbers, datetime64[ns] as naive Timestamps) without building the array
// or boxing a date. The header row first; no object (and no error set) when
// a column is of another kind; throws on a real failure.
py::object rows_by_column(const py::object& frame, const py::object& header) {
  const py::object none;
  if (Py_TYPE(frame.ptr()) != reinterpret_cast<PyTypeObject*>(libs.pd_frame)) return none;
  py::list dtypes = frame.attr("dtypes").attr("tolist")();
  const Py_ssize_t ncols = PyList_GET_SIZE(dtypes.ptr());
  if (ncols == 0) return none;
  bool has_object = false;
  for (py::handle d : dtypes) {
    if (!PyObject_TypeCheck(d.ptr(), reinterpret_cast<PyTypeObject*>(libs.np_dtype))) return none;
    const std::string kind = py::str(d.attr("kind"));
    if (kind == "O") has_object = true;
    else if (kind == "M" && !py::str(d.attr("name")).equal(py::str("datetime64[ns]"))) return none;
    else if (kind != "M" && kind != "f" && kind != "i" && kind != "u" && kind != "b") return none;
  }
  if (!has_object) return none;

  std::vector<ColumnView> cols(ncols);
  py::object iloc = frame.attr("iloc");
  Py_ssize_t nrows = -1;
  for (Py_ssize_t j = 0; j < ncols; ++j) {
    ColumnView& c = cols[j];
    py::object series = iloc[py::make_tuple(py::slice(py::none(), py::none(), py::none()), py::int_(j))];
    c.array = series.attr("values");
    c.dates = py::str(dtypes[j].attr("kind")).equal(py::str("M"));
    if (c.dates) c.array = c.array.attr("view")("i8");
    if (PyObject_GetBuffer(c.array.ptr(), &c.buffer.view, PyBUF_RECORDS_RO) < 0) {
      PyErr_Clear();
      return none;
    }
    c.buffer.held = true;
    const Py_buffer& v = c.buffer.view;
    if (v.ndim != 1 || !v.shape || !v.strides) return none;
    c.kind = cell_kind(v);
    if (c.kind == Cell::None || (c.dates && c.kind != Cell::I64)) return none;
    if (nrows < 0) nrows = v.shape[0];
    if (v.shape[0] != nrows) return none;
    c.base = static_cast<const char*>(v.buf);
    c.stride = v.strides[0];
  }
  py::object rows = own(PyList_New(1 + nrows));
  PyObject* out = rows.ptr();
  PyList_SET_ITEM(out, 0, header.inc_ref().ptr());
  for (Py_ssize_t i = 1; i <= nrows; ++i) PyList_SET_ITEM(out, i, Py_NewRef(Py_None));

  for (Py_ssize_t i = 0; i < nrows; ++i) {
    PyObject* row = new_filling_list(ncols);
    if (!row) throw py::error_already_set();
    for (Py_ssize_t j = 0; j < ncols; ++j) {
      PyObject* w = column_cell(cols[j], i);
      if (!w) {
        for (Py_ssize_t k = j; k < ncols; ++k) PyList_SET_ITEM(row, k, Py_NewRef(Py_None));
        done_filling(row);
        Py_DECREF(row);
        throw py::error_already_set();
      }
      PyList_SET_ITEM(row, j, w);
    }
    done_filling(row);
    PyObject* rec = container_record(names.Array, row);
    if (!rec) throw py::error_already_set();
    PyObject* old = PyList_GET_ITEM(out, 1 + i);
    PyList_SET_ITEM(out, 1 + i, rec);
    Py_DECREF(old);
  }
  return rows;
}

PyObject* table_to_wire(PyObject* v) {
  Recursion guard(" while converting a table to the wire form");
  if (!guard.ok) return nullptr;
  try {
    py::object frame = py::reinterpret_borrow<py::object>(v);
    if (PyObject_IsInstance(v, libs.pd_series) == 1) frame = frame.attr("to_frame")();
    py::object columns = frame.attr("columns").attr("tolist")();
    py::object header;
    if (Py_TYPE(frame.ptr()) == reinterpret_cast<PyTypeObject*>(libs.pd_frame)) {
      header = own(to_wire_impl(columns.ptr()));
      py::object rows = rows_by_column(frame, header);
      if (rows) return container_record(names.Array, rows.release().ptr());
    }
    py::object values = frame.attr("values");
    // All-datetime (or all-timedelta) frames give a datetime64 array whose
    // tolist() is nanosecond integers; their cells go as in mixed frames.
    if (PyObject_IsInstance(values.ptr(), libs.np_ndarray) == 1) {
      py::object kind = values.attr("dtype").attr("kind");
      if (kind.equal(py::str("M")) || kind.equal(py::str("m")))
        values = frame.attr("astype")(py::module_::import("builtins").attr("object")).attr("values");
    }
    if (!header) header = own(to_wire_impl(columns.ptr()));

    Py_ssize_t nrows = -1;
    if (PyObject_IsInstance(values.ptr(), libs.np_ndarray) == 1 && py::len(values.attr("shape")) == 2)
      nrows = py::cast<Py_ssize_t>(values.attr("shape")[py::int_(0)]);
    if (nrows >= 0) {
      py::object out = own(PyList_New(1 + nrows));
      PyList_SET_ITEM(out.ptr(), 0, header.inc_ref().ptr());
      for (Py_ssize_t i = 1; i <= nrows; ++i) PyList_SET_ITEM(out.ptr(), i, Py_NewRef(Py_None));
      bool failed = false;
      if (rows_from_buffer(values.ptr(), out.ptr(), 1, failed)) {
        if (failed) throw py::error_already_set();
        return container_record(names.Array, out.release().ptr());
      }
    }
    // Anything else: one tolist() per row, then the generic conversion.
    py::list rows;
    rows.append(header);
    for (py::handle row : values) rows.append(own(to_wire_impl(row.attr("tolist")().ptr())));
    return container_record(names.Array, rows.release().ptr());
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
  }
}

// ------------------------------------------------------------------ to_wire

PyObject* to_wire_impl(PyObject* v) {
  PyTypeObject* t = Py_TYPE(v);
  // Exact built-in types first: unambiguous whatever the rule order.
  if (t == &PyFloat_Type) return record(names.Float, v, Py_False);
  if (t == &PyUnicode_Type) return record(names.String, v, Py_False);
  if (t == &PyLong_Type) return record(names.Int, v, Py_False);
  if (t == &PyList_Type || t == &PyTuple_Type) return sequence_to_wire(v);
  if (t == &PyDict_Type) return mapping_to_wire(v);

  if (v == Py_None) return record(names.Null, Py_None, Py_False);
  if (PyBool_Check(v)) return record(names.Bool, v, Py_False);
  if (PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(libs.np_bool))) {
    int truth = PyObject_IsTrue(v);
    if (truth < 0) return nullptr;
    return record(names.Bool, truth ? Py_True : Py_False, Py_False);
  }
  if (PyLong_Check(v)) return record_steal(names.Int, PyNumber_Long(v));
  if (PyFloat_Check(v)) return record_steal(names.Float, PyNumber_Float(v));
  if (PyUnicode_Check(v)) return record(names.String, v, Py_False);
  if (PyDate_Check(v) || PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(libs.np_datetime64))) {
    // "Not a time" has no date text: it travels as a missing value, as the
    // NaT cells of a datetime column did before.
    if (v == libs.pd_nat) return record(names.Null, Py_None, Py_False);
    PyObject* text = date_text(v);
    if (text && !PyDate_Check(v) && PyUnicode_CompareWithASCIIString(text, "NaT") == 0) {
      Py_DECREF(text);
      return record(names.Null, Py_None, Py_False);
    }
    return record_steal(names.Date, text);
  }
  if (PyBytes_Check(v) || PyByteArray_Check(v) || PyMemoryView_Check(v)) return bytes_to_wire(v);
  if (PyList_Check(v) || PyTuple_Check(v)) return sequence_to_wire(v);
  if (PyDict_Check(v)) return mapping_to_wire(v);
  if (is_missing(v)) return record(names.Null, Py_None, Py_False);
  if (PyErr_Occurred()) return nullptr;
  if (PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(libs.pd_series)) ||
      PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(libs.pd_frame)))
    return table_to_wire(v);
  if (PyObject_TypeCheck(v, object_type)) {
    // Read from the instance itself: a missing field must not become a remote read.
    PyObject* tname = PyObject_GenericGetAttr(v, names.internal_typeName);
    if (!tname) return nullptr;
    PyObject* id = PyObject_GenericGetAttr(v, names.internal_id);
    if (!id) {
      Py_DECREF(tname);
      return nullptr;
    }
    PyObject* r = record(tname, id, Py_True);
    Py_DECREF(tname);
    Py_DECREF(id);
    return r;
  }
  if (PyCallable_Check(v)) {
    try {
      py::object cid = G(names.messaging).attr(names.register_callable)(py::handle(v));
      return record(names.Python_Function, cid.ptr(), Py_True);
    } catch (py::error_already_set& e) {
      e.restore();
      return nullptr;
    }
  }
  return record_steal(names.String, PyObject_Str(v));
}

// ------------------------------------------------------------------ from_wire

enum class Tag { None, Null, Bool, Int, Float, String, Date, Bytes, Array, Dict };

Tag tag_of(PyObject* type) {
  if (!type || !PyUnicode_Check(type) || PyUnicode_READY(type) < 0) return Tag::None;
  if (PyUnicode_KIND(type) != PyUnicode_1BYTE_KIND) return Tag::None;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(type);
  const char* s = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(type));
  auto is = [&](const char* tag) { return n == (Py_ssize_t)std::strlen(tag) && std::memcmp(s, tag, n) == 0; };
  switch (n) {
    case 3: return is("Int") ? Tag::Int : Tag::None;
    case 4:
      return is("Null") ? Tag::Null : is("Bool") ? Tag::Bool : is("Date") ? Tag::Date : is("Dict") ? Tag::Dict
                                                                                               : Tag::None;
    case 5: return is("Float") ? Tag::Float : is("Bytes") ? Tag::Bytes : is("Array") ? Tag::Array : Tag::None;
    case 6: return is("String") ? Tag::String : Tag::None;
    default: return Tag::None;
  }
}

[[noreturn]] void refuse_wire(PyObject* wire) {
  tv::raise_arg_type("Serializer.from_wire", "wire", "dict", wire);
}

py::object field(PyObject* wire, PyObject* key) {
  PyObject* v = PyDict_GetItemWithError(wire, key);
  if (!v) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::none();
  }
  return py::reinterpret_borrow<py::object>(v);
}

bool truth(PyObject* o) {
  int t = PyObject_IsTrue(o);
  if (t < 0) throw py::error_already_set();
  return t != 0;
}

py::object from_wire_impl(PyObject* wire);

py::object array_from_wire(PyObject* wire) {
  py::object proxy = new_array_proxy(field(wire, names.id).ptr());
  py::object value = field(wire, names.value);
  if (!truth(value.ptr())) return proxy;
  Recursion guard(" while converting a wire value");
  if (!guard.ok) throw py::error_already_set();
  py::object items;
  if (PyList_CheckExact(value.ptr())) {
    PyObject* src = value.ptr();
    const Py_ssize_t n = PyList_GET_SIZE(src);
    items = own(new_filling_list(n));
    Py_ssize_t i = 0;
    try {
      for (; i < PyList_GET_SIZE(src); ++i) {
        py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(src, i));
        py::object w = from_wire_impl(item.ptr());
        if (i < n) {
          PyList_SET_ITEM(items.ptr(), i, w.release().ptr());
        } else if (PyList_Append(items.ptr(), w.ptr()) < 0) {
          throw py::error_already_set();
        }
      }
    } catch (...) {
      for (Py_ssize_t k = i; k < n; ++k) PyList_SET_ITEM(items.ptr(), k, Py_NewRef(Py_None));
      done_filling(items.ptr());
      throw;
    }
    done_filling(items.ptr());
    if (i < n && PyList_SetSlice(items.ptr(), i, n, nullptr) < 0) throw py::error_already_set();
  } else {
    items = own(PyList_New(0));
    py::object it = own(PyObject_GetIter(value.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
      py::object item = own(raw);
      if (PyList_Append(items.ptr(), from_wire_impl(item.ptr()).ptr()) < 0) throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
  }
  // One extend with every converted item.
  if (PyList_SetSlice(proxy.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, items.ptr()) < 0) throw py::error_already_set();
  return proxy;
}

py::object dict_from_wire(PyObject* wire) {
  py::object proxy = new_dict_proxy(field(wire, names.id).ptr());
  py::object value = field(wire, names.value);
  if (!truth(value.ptr())) return proxy;
  Recursion guard(" while converting a wire value");
  if (!guard.ok) throw py::error_already_set();
  py::dict items;
  if (PyDict_CheckExact(value.ptr())) {
    const Py_ssize_t size = PyDict_GET_SIZE(value.ptr());
    Py_ssize_t pos = 0;
    PyObject *k, *item;
    while (PyDict_Next(value.ptr(), &pos, &k, &item)) {
      py::object key = py::reinterpret_borrow<py::object>(k);
      py::object held = py::reinterpret_borrow<py::object>(item);
      py::object w = from_wire_impl(held.ptr());
      if (PyDict_SetItem(items.ptr(), key.ptr(), w.ptr()) < 0) throw py::error_already_set();
      if (PyDict_GET_SIZE(value.ptr()) != size) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        throw py::error_already_set();
      }
    }
  } else {
    for (py::handle pair : value.attr("items")()) {
      py::tuple kv = own(PySequence_Tuple(pair.ptr()));
      if (kv.size() != 2) {
        PyErr_SetString(PyExc_ValueError, "items() must give (key, value) pairs");
        throw py::error_already_set();
      }
      if (PyDict_SetItem(items.ptr(), kv[0].ptr(), from_wire_impl(kv[1].ptr()).ptr()) < 0)
        throw py::error_already_set();
    }
  }
  // One update with every converted entry.
  if (PyDict_Update(proxy.ptr(), items.ptr()) < 0) throw py::error_already_set();
  return proxy;
}

py::object from_wire_impl(PyObject* wire) {
  if (!PyDict_CheckExact(wire)) refuse_wire(wire);
  py::object type = field(wire, names.type);
  switch (tag_of(type.ptr())) {
    case Tag::Null: return py::none();
    case Tag::Bool: return py::bool_(truth(field(wire, names.value).ptr()));
    case Tag::Int: {
      py::object v = field(wire, names.value);
      return PyLong_CheckExact(v.ptr()) ? v : own(PyNumber_Long(v.ptr()));
    }
    case Tag::Float: {
      py::object v = field(wire, names.value);
      return PyFloat_CheckExact(v.ptr()) ? v : own(PyNumber_Float(v.ptr()));
    }
    case Tag::String: {
      py::object v = field(wire, names.value);
      return PyUnicode_CheckExact(v.ptr()) ? v : own(PyObject_Str(v.ptr()));
    }
    case Tag::Date: {
      py::object v = field(wire, names.value);
      PyObject* parsed = PyObject_CallMethod(reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType),
                                             "fromisoformat", "O", v.ptr());
      if (parsed) return own(parsed);
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
      PyErr_Clear();
      return v;
    }
    case Tag::Bytes: {
      py::object v = field(wire, names.value);
      py::object data = truth(v.ptr()) ? v : py::bytes("");
      return G(names.base64).attr(names.b64decode)(data);
    }
    case Tag::Array: return array_from_wire(wire);
    case Tag::Dict: return dict_from_wire(wire);
    case Tag::None: break;
  }
  py::object value = field(wire, names.value);
  if (truth(field(wire, names.isSpec).ptr())) {
    py::object id = own(PyNumber_Long(value.ptr()));
    return new_object_proxy(id.ptr(), type.ptr());
  }
  return own(PyObject_Str(value.ptr()));
}

py::object to_wire_method(py::object value) { return to_wire(value.ptr()); }
py::object from_wire_method(py::object wire) { return from_wire(wire.ptr()); }

}  // namespace

namespace {
thread_local std::vector<PyObject*>* t_held = nullptr;
}  // namespace

TrackingScope::TrackingScope() : outer_(t_held == nullptr) {
  if (outer_) {
    t_held = &held_;
  }
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
  return own(to_wire_impl(value));
}
py::object from_wire(PyObject* wire) {
  TrackingScope scope;
  return from_wire_impl(wire);
}

void define_serializer(Scope& m) {
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) throw py::error_already_set();
  init_templates();
  py::object any = G("Any");
  py::object wire_dict = G("Dict")[py::make_tuple(py::str().get_type(), any)];
  tv::make_class(m, "Serializer", [&](Scope& cls) {
    cls.ns["__doc__"] = py::str("Handles marshaling of data types between Python and JavaScript.");
    py::object sm = py::module_::import("builtins").attr("staticmethod");
    cls.ns["to_wire"] = sm(def_native<&to_wire_method>(cls, "to_wire", {Param("value").with_annotation(any)},
                                                       "Convert a Python value to its wire form.", false,
                                                       wire_dict.ptr()));
    cls.ns["from_wire"] = sm(def_native<&from_wire_method>(
        cls, "from_wire", {Param("wire").with_annotation(wire_dict)}, "Convert a wire value to a Python value.",
        false, any.ptr()));
  });
}

}  // namespace panticle
