// Series and frames to wire values: a header row of column names, then one
// "Array" record a row; and NumPy arrays, nested as their tolist(). Plain
// NumPy data is read through the buffer protocol, cell by cell, without
// boxing every cell into a Python object first.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "panticle/wire.hpp"

namespace panticle::wire {

namespace {

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
    case Cell::F64: return record_steal(Tag::Float, PyFloat_FromDouble(load<double>(p)));
    case Cell::F32: return record_steal(Tag::Float, PyFloat_FromDouble(load<float>(p)));
    case Cell::I8: return record_steal(Tag::Int, PyLong_FromLong(load<int8_t>(p)));
    case Cell::I16: return record_steal(Tag::Int, PyLong_FromLong(load<int16_t>(p)));
    case Cell::I32: return record_steal(Tag::Int, PyLong_FromLong(load<int32_t>(p)));
    case Cell::I64: return record_steal(Tag::Int, PyLong_FromLongLong(load<int64_t>(p)));
    case Cell::U8: return record_steal(Tag::Int, PyLong_FromUnsignedLong(load<uint8_t>(p)));
    case Cell::U16: return record_steal(Tag::Int, PyLong_FromUnsignedLong(load<uint16_t>(p)));
    case Cell::U32: return record_steal(Tag::Int, PyLong_FromUnsignedLong(load<uint32_t>(p)));
    case Cell::U64: return record_steal(Tag::Int, PyLong_FromUnsignedLongLong(load<uint64_t>(p)));
    case Cell::Bool: return record(Tag::Bool, load<uint8_t>(p) ? Py_True : Py_False);
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

// The header row, then row i's "Array" record of the cells cell(i, j) for
// j in [0, ncols): a new list, or null with the error set.
template <class CellAt>
PyObject* header_and_rows(PyObject* header, Py_ssize_t nrows, Py_ssize_t ncols, CellAt&& cell) {
  return build_list(1 + nrows, [&](Py_ssize_t r) -> PyObject* {
    if (r == 0) return Py_NewRef(header);
    return container_record(Tag::Array, build_list(ncols, [&](Py_ssize_t j) { return cell(r - 1, j); }));
  });
}

// The rows of a 2-D array read through the buffer protocol (header first):
// false, with no error set, when the array's layout or type has no fast path;
// otherwise true and `rows` is the new list, or null with the error set.
bool rows_from_buffer(PyObject* values, PyObject* header, PyObject*& rows) {
  BufferView b;
  if (PyObject_GetBuffer(values, &b.view, PyBUF_RECORDS_RO) < 0) {
    PyErr_Clear();
    return false;
  }
  b.held = true;
  if (b.view.ndim != 2 || !b.view.shape || !b.view.strides) return false;
  const Cell kind = cell_kind(b.view);
  if (kind == Cell::None) return false;
  const Py_ssize_t s0 = b.view.strides[0], s1 = b.view.strides[1];
  const char* base = static_cast<const char*>(b.view.buf);
  rows = header_and_rows(header, b.view.shape[0], b.view.shape[1],
                         [&](Py_ssize_t i, Py_ssize_t j) { return cell_to_wire(kind, base + i * s0 + j * s1); });
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
  if (ns == INT64_MIN) return record(Tag::Null, Py_None);  // NaT
  return record_steal(Tag::Date, ns_date_text(ns));
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
  py::list dtypes = call_method(attr(frame, K("dtypes")), K("tolist"));
  const Py_ssize_t ncols = PyList_GET_SIZE(dtypes.ptr());
  if (ncols == 0) return none;
  bool has_object = false;
  for (py::handle d : dtypes) {
    if (!PyObject_TypeCheck(d.ptr(), reinterpret_cast<PyTypeObject*>(libs.np_dtype))) return none;
    const std::string kind = py::str(attr(d, K("kind")));
    if (kind == "O") has_object = true;
    else if (kind == "M" && !py::str(attr(d, K("name"))).equal(py::str("datetime64[ns]"))) return none;
    else if (kind != "M" && kind != "f" && kind != "i" && kind != "u" && kind != "b") return none;
  }
  if (!has_object) return none;

  std::vector<ColumnView> cols(ncols);
  py::object iloc = attr(frame, K("iloc"));
  Py_ssize_t nrows = -1;
  for (Py_ssize_t j = 0; j < ncols; ++j) {
    ColumnView& c = cols[j];
    py::object series = iloc[py::make_tuple(py::slice(py::none(), py::none(), py::none()), py::int_(j))];
    c.array = attr(series, K("values"));
    c.dates = py::str(attr(dtypes[j], K("kind"))).equal(py::str("M"));
    if (c.dates) c.array = call_method(c.array, K("view"), K("i8"));
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
  return steal(header_and_rows(header.ptr(), nrows, ncols,
                               [&](Py_ssize_t i, Py_ssize_t j) { return column_cell(cols[j], i); }));
}

// ------------------------------------------------------------------ arrays

// One element of a plain array: what to_wire gives for the NumPy scalar the
// element is (a float32 NaN is missing, as np.float32("nan") is).
PyObject* element_to_wire(Cell kind, const char* p) {
  if (kind == Cell::F32 && std::isnan(load<float>(p))) return record(Tag::Null, Py_None);
  return cell_to_wire(kind, p);
}

// The "Array" of dimension `dim` of a buffer, starting at `p`; each level
// counts against the interpreter's recursion limit, as a nested list does.
PyObject* array_level(const Py_buffer& b, Cell kind, int dim, const char* p) {
  Recursion guard(" while converting an array to the wire form");
  if (!guard.ok) return nullptr;
  const Py_ssize_t stride = b.strides[dim];
  const bool last = dim + 1 == b.ndim;
  return container_record(Tag::Array, build_list(b.shape[dim], [&](Py_ssize_t i) {
    const char* q = p + i * stride;
    return last ? element_to_wire(kind, q) : array_level(b, kind, dim + 1, q);
  }));
}

// An array whose elements have no fast path (float16, longdouble, dates,
// texts, ...): item by item, each a sub-array or a NumPy scalar.
PyObject* array_by_items(PyObject* v) {
  PyObject* ndim = PyObject_GetAttr(v, K("ndim"));
  if (!ndim) return nullptr;
  const long dims = PyLong_AsLong(ndim);
  Py_DECREF(ndim);
  if (dims == -1 && PyErr_Occurred()) return nullptr;
  if (dims == 0) {
    PyObject* none = PyTuple_New(0);
    PyObject* element = none ? PyObject_GetItem(v, none) : nullptr;
    Py_XDECREF(none);
    if (!element) return nullptr;
    PyObject* w = to_wire_impl(element);
    Py_DECREF(element);
    return w;
  }
  const Py_ssize_t n = PyObject_Length(v);
  if (n < 0) return nullptr;
  return container_record(Tag::Array, build_list(n, [v](Py_ssize_t i) -> PyObject* {
    PyObject* item = PySequence_GetItem(v, i);
    if (!item) return nullptr;
    PyObject* w = to_wire_impl(item);
    Py_DECREF(item);
    return w;
  }));
}

}  // namespace

PyObject* table_to_wire(PyObject* v) {
  Recursion guard(" while converting a table to the wire form");
  if (!guard.ok) return nullptr;
  return tv::catch_to_null([v]() -> PyObject* {
    py::object frame = borrow(v);
    if (PyObject_IsInstance(v, libs.pd_series) == 1) frame = call_method(frame, K("to_frame"));
    py::object columns = call_method(attr(frame, K("columns")), K("tolist"));
    py::object header;
    if (Py_TYPE(frame.ptr()) == reinterpret_cast<PyTypeObject*>(libs.pd_frame)) {
      header = steal(to_wire_impl(columns.ptr()));
      py::object rows = rows_by_column(frame, header);
      if (rows) return container_record(Tag::Array, rows.release().ptr());
    }
    py::object values = attr(frame, K("values"));
    // All-datetime (or all-timedelta) frames give a datetime64 array whose
    // tolist() is nanosecond integers; their cells go as in mixed frames.
    if (PyObject_IsInstance(values.ptr(), libs.np_ndarray) == 1) {
      py::object kind = attr(attr(values, K("dtype")), K("kind"));
      if (kind.equal(py::str("M")) || kind.equal(py::str("m")))
        values = attr(call_method(frame, K("astype"), (PyObject*)&PyBaseObject_Type), K("values"));
    }
    if (!header) header = steal(to_wire_impl(columns.ptr()));

    PyObject* rows = nullptr;
    if (PyObject_IsInstance(values.ptr(), libs.np_ndarray) == 1 && rows_from_buffer(values.ptr(), header.ptr(), rows))
      return container_record(Tag::Array, rows);  // a null `rows` passes its error on
    // Anything else: one tolist() per row, then the generic conversion.
    py::list all_rows;
    all_rows.append(header);
    for (py::handle row : values) all_rows.append(steal(to_wire_impl(call_method(row, K("tolist")).ptr())));
    return container_record(Tag::Array, all_rows.release().ptr());
  });
}

PyObject* array_to_wire(PyObject* v) {
  Recursion guard(" while converting an array to the wire form");
  if (!guard.ok) return nullptr;
  if (Py_TYPE(v) != reinterpret_cast<PyTypeObject*>(libs.np_ndarray)) {
    // A subclass (a masked array, a matrix) says what it holds through tolist().
    PyObject* plain = PyObject_CallMethodNoArgs(v, K("tolist"));
    if (!plain) return nullptr;
    PyObject* w = to_wire_impl(plain);
    Py_DECREF(plain);
    return w;
  }
  BufferView b;
  if (PyObject_GetBuffer(v, &b.view, PyBUF_RECORDS_RO) < 0) {
    PyErr_Clear();  // dates and other dtypes no buffer can describe
  } else {
    b.held = true;
    const Cell kind = cell_kind(b.view);
    const char* base = static_cast<const char*>(b.view.buf);
    if (kind != Cell::None && b.view.ndim == 0) return element_to_wire(kind, base);
    if (kind != Cell::None && b.view.shape && b.view.strides) return array_level(b.view, kind, 0, base);
  }
  return array_by_items(v);
}

}  // namespace panticle::wire
