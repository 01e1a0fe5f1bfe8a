// Proxies of the add-in's objects, arrays and dictionaries, and the five
// remote operations they hand their work to.
#include "panticle/panticle.hpp"
#include <frameobject.h>

namespace panticle {

PyTypeObject* object_type = nullptr;
PyTypeObject* array_type = nullptr;
PyTypeObject* dict_type = nullptr;

namespace {

bool same_text(PyObject* a, PyObject* b) {
  if (a == b) return true;
  return PyUnicode_Compare(a, b) == 0;
}

// The empty tuple, for a type's slots called with no arguments; kept for the
// process.
PyObject* no_args() {
  static PyObject* empty = nullptr;
  if (!empty) empty = steal(PyTuple_New(0)).release().ptr();
  return empty;
}

// Instance fields are read and written on the instance itself: internal names
// never reach the add-in and never touch the proxy's own attribute hooks.
py::object local_get(PyObject* self, PyObject* name) { return steal(PyObject_GenericGetAttr(self, name)); }
void local_set(PyObject* self, PyObject* name, PyObject* value) {
  if (PyObject_GenericSetAttr(self, name, value) < 0) throw py::error_already_set();
}

void require_name(PyObject* name) {
  if (!PyUnicode_CheckExact(name)) raise_incorrect_type("name", "str", name, PyUnicode_Check(name));
}

// A name of the form __name__. The add-in's objects have no such properties,
// and Python's own probes for them (NumPy's __array_struct__, copy's
// __deepcopy__, ...) must get their AttributeError at once, not after a
// request each.
bool is_dunder(PyObject* name) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
  if (n < 5) return false;
  auto at = [name](Py_ssize_t i) { return PyUnicode_READ_CHAR(name, i); };
  return at(0) == '_' && at(1) == '_' && at(2) != '_' && at(n - 1) == '_' && at(n - 2) == '_' && at(n - 3) != '_';
}

// Python's own error for a missing attribute; returns null.
PyObject* no_such_attribute(PyObject* self, PyObject* name) {
  PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", Py_TYPE(self)->tp_name, name);
  return nullptr;
}

// ------------------------------------------------------------------ construction

py::object convert_id(PyObject* object_id) {
  if (PyLong_CheckExact(object_id)) return py::reinterpret_borrow<py::object>(object_id);
  PyNumberMethods* nb = Py_TYPE(object_id)->tp_as_number;
  if (PyLong_Check(object_id) || (nb && (nb->nb_int || nb->nb_index))) return steal(PyNumber_Long(object_id));
  raise_incorrect_type("object_id", "int", object_id, false);
}

void store_identity(PyObject* self, PyObject* id, PyObject* type_name, PyObject* marker) {
  local_set(self, K("_internal_id"), id);
  local_set(self, K("_internal_typeName"), type_name);
  py::object guid = attr(G(K("messaging")), K("_guid"));
  local_set(self, K("_msg_guid"), guid.ptr());
  local_set(self, K("_typ"), marker);
  local_set(self, K("_internal_cache"), py::dict().ptr());
}

void object_init(PyObject* self, PyObject* object_id, PyObject* type_name) {
  py::object id = convert_id(object_id);
  if (!PyUnicode_CheckExact(type_name))
    raise_incorrect_type("type_name", "str", type_name, PyUnicode_Check(type_name));
  store_identity(self, id.ptr(), type_name, K("officejs_object"));
}

void container_init(PyObject* self, PyObject* object_id, PyTypeObject* base, PyObject* tname, PyObject* marker) {
  py::object id = convert_id(object_id);
  if (base->tp_init(self, no_args(), nullptr) < 0) throw py::error_already_set();
  store_identity(self, id.ptr(), tname, marker);
}

void object_init_method(py::object self, py::object object_id, py::object type_name) {
  object_init(self.ptr(), object_id.ptr(), type_name.ptr());
}
void array_init_method(py::object self, py::object object_id) {
  container_init(self.ptr(), object_id.ptr(), &PyList_Type, K("Array"), K("officejs_array"));
}
void dict_init_method(py::object self, py::object object_id) {
  container_init(self.ptr(), object_id.ptr(), &PyDict_Type, K("Dict"), K("officejs_dict"));
}

// Made for the serializer: joins the collector when the conversion ends.
py::object allocate(PyTypeObject* type) {
  py::object self = steal(type->tp_new(type, no_args(), nullptr));
  defer_tracking(self.ptr());
  return self;
}

// ------------------------------------------------------------------ remote operations

void check_context(PyObject* self) {
  py::object mine = local_get(self, K("_msg_guid"));
  py::object current = attr(G(K("messaging")), K("_guid"));
  if (!mine.equal(current)) raise(PyExc_RuntimeError, "Excel Object used after messaging context was stopped");
}

py::dict request(PyObject* method, PyObject* name) {
  py::dict req;
  set_item(req, K("method"), method);
  set_item(req, K("name"), name);
  return req;
}

// messaging.send_request_sync(req[, timeout]); null with the error set.
PyObject* send_raw(PyObject* req, PyObject* timeout = nullptr) {
  PyObject* messaging = Py_XNewRef(global_ref(K("messaging")));
  if (!messaging) return nullptr;
  PyObject* argv[3] = {messaging, req, timeout};
  PyObject* answer = PyObject_VectorcallMethod(K("send_request_sync"), argv,
                                               (timeout ? 3 : 2) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  Py_DECREF(messaging);
  return answer;
}

py::object send(py::dict req) { return steal(send_raw(req.ptr())); }

py::object result_of(const py::object& answer) {
  py::object result;
  if (PyDict_Check(answer.ptr())) {
    PyObject* r = PyDict_GetItemWithError(answer.ptr(), K("result"));
    if (!r && PyErr_Occurred()) throw py::error_already_set();
    result = r ? py::reinterpret_borrow<py::object>(r) : py::none();
  } else {
    result = call_method(answer, K("get"), K("result"));
  }
  return from_wire(result.ptr());
}

bool is_local_read(PyObject* name) {
  for (PyObject* n : {K("_internal_id"), K("_internal_typeName"), K("_msg_guid"), K("_typ"), K("_internal_cache")})
    if (same_text(name, n)) return true;
  return false;
}

py::object cw_getattr(py::object self, py::str name) {
  if (is_local_read(name.ptr())) return local_get(self.ptr(), name.ptr());
  if (is_dunder(name.ptr())) {
    no_such_attribute(self.ptr(), name.ptr());
    throw py::error_already_set();
  }
  check_context(self.ptr());
  py::dict req = request(K("GET"), name.ptr());
  set_item(req, K("caller"), local_get(self.ptr(), K("_internal_id")));
  return result_of(send(req));
}

void cw_setattr(py::object self, py::str name, py::object value) {
  for (PyObject* n : {K("_internal_id"), K("_internal_typeName"), K("_msg_guid"), K("_typ")}) {
    if (same_text(name.ptr(), n)) {
      local_set(self.ptr(), name.ptr(), value.ptr());
      return;
    }
  }
  check_context(self.ptr());
  py::object wire = to_wire(value.ptr());
  py::dict req = request(K("SET"), name.ptr());
  set_item(req, K("value"), wire);
  set_item(req, K("caller"), local_get(self.ptr(), K("_internal_id")));
  send(req);
}

py::object index_text(PyObject* index) {
  if (PySlice_Check(index)) {
    auto* s = reinterpret_cast<PySliceObject*>(index);
    py::object parts[3];
    PyObject* fields[3] = {s->start, s->stop, s->step};
    for (int i = 0; i < 3; ++i)
      parts[i] = fields[i] == Py_None ? borrow(K(""))
                                      : steal(PyObject_Format(fields[i], K("")));
    return steal(PyUnicode_FromFormat("%U:%U:%U", parts[0].ptr(), parts[1].ptr(), parts[2].ptr()));
  }
  if (PyLong_Check(index)) return steal(PyObject_Str(index));
  raise(PyExc_TypeError, "Index must be an integer or a slice");
}

py::object cw_getitem(py::object self, py::object index) {
  py::object text = index_text(index.ptr());
  check_context(self.ptr());
  py::dict req = request(K("GETITEM"), text.ptr());
  set_item(req, K("caller"), local_get(self.ptr(), K("_internal_id")));
  return result_of(send(req));
}

PyObject* cw_call(PyObject*, PyObject* args, PyObject* kwargs) {
  try {
    if (PyTuple_GET_SIZE(args) < 1) raise(PyExc_TypeError, "_cw__call__() missing required argument: 'self'");
    PyObject* self = PyTuple_GET_ITEM(args, 0);
    check_context(self);
    py::object tname = local_get(self, K("_internal_typeName"));
    if (!tname.equal(py::handle(K("Function"))))
      raise(PyExc_TypeError, "Only Function-typed SpecialObjects are callable");
    const Py_ssize_t nplaced = PyTuple_GET_SIZE(args) - 1;
    py::list call_args(0);
    for (Py_ssize_t i = 0; i < nplaced; ++i) {
      py::dict arg;
      set_item(arg, K("arg_type"), K("PLACED"));
      set_item(arg, K("value"), to_wire(PyTuple_GET_ITEM(args, i + 1)));
      call_args.append(arg);
    }
    if (kwargs) {
      // A fresh dict of the call's own: nothing else can change it meanwhile.
      Py_ssize_t pos = 0;
      PyObject *key, *value;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        py::object k = py::reinterpret_borrow<py::object>(key);
        py::object held = py::reinterpret_borrow<py::object>(value);
        py::dict arg;
        set_item(arg, K("arg_type"), K("NAMED"));
        set_item(arg, K("name"), k);
        set_item(arg, K("value"), to_wire(held.ptr()));
        call_args.append(arg);
      }
    }
    py::dict req = request(K("CALL"), K("__call__"));
    set_item(req, K("args"), call_args);
    set_item(req, K("caller"), local_get(self, K("_internal_id")));
    return result_of(send(req)).release().ptr();
  } catch (...) {
    if (tv::forced_unwind()) throw;  // a thread ended at exit: not ours to stop
    tv::set_python_error_from_current_exception();
    return nullptr;
  }
}

// 0.0 seconds, kept for the process; null with the error set if it cannot be made.
PyObject* no_wait() {
  static PyObject* zero = nullptr;
  if (!zero) zero = PyFloat_FromDouble(0.0);
  return zero;
}

// A release never raises an ordinary error. On the thread that delivers
// answers it cannot wait for its own answer: it is sent with no wait. Its
// failures are expected (no send handler while a large answer is dropped, a
// proxy whose construction failed), so they travel as Python errors only.
bool release(PyObject* self) {
  PyObject* answer = nullptr;
  PyObject* req = PyDict_New();
  if (req && PyDict_SetItem(req, K("method"), K("DEL")) == 0 &&
      PyDict_SetItem(req, K("name"), K("__del__")) == 0) {
    const bool listener = on_listener_thread();
    PyObject* wait = listener ? no_wait() : nullptr;  // none: as long as a request may take
    PyObject* id = (!listener || wait) ? PyObject_GenericGetAttr(self, K("_internal_id")) : nullptr;
    if (id && PyDict_SetItem(req, K("caller"), id) == 0) answer = send_raw(req, wait);
    Py_XDECREF(id);
  }
  Py_XDECREF(req);
  if (answer) {
    Py_DECREF(answer);
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
}

void cw_del(py::object self) {
  if (!release(self.ptr())) throw py::error_already_set();
}

// ------------------------------------------------------------------ failure filter

// The same error again, its leading traceback entries of the bridge's own
// operations cut and no chained cause shown.
void filter_pending_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return;
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  if (!v) {
    PyErr_Restore(t, v, tb);
    return;
  }
  if (tb) PyException_SetTraceback(v, tb);
  Py_XDECREF(tb);
  PyObject* cur = PyException_GetTraceback(v);  // new reference or null
  PyObject* listed = PyDict_GetItemWithError(globals_dict(), K("_internal_officejs_names"));
  if (!listed) PyErr_Clear();  // no list: nothing is cut
  Py_XINCREF(listed);
  while (listed && cur && cur != Py_None && PyTraceBack_Check(cur)) {
    auto* entry = reinterpret_cast<PyTracebackObject*>(cur);
    PyCodeObject* code = PyFrame_GetCode(entry->tb_frame);
    int hit = PySequence_Contains(listed, code->co_name);
    Py_DECREF(code);
    if (hit < 0) {
      PyErr_Clear();
      break;
    }
    if (!hit) break;
    PyObject* next = reinterpret_cast<PyObject*>(entry->tb_next);
    Py_XINCREF(next);
    Py_DECREF(cur);
    cur = next;
  }
  Py_XDECREF(listed);
  if (cur == Py_None) {
    Py_DECREF(cur);
    cur = nullptr;
  }
  PyException_SetTraceback(v, cur ? cur : Py_None);
  PyException_SetCause(v, nullptr);  // also suppresses the context
  PyErr_Restore(t, v, cur);
}

py::object filtered(PyObject* delegate, PyObject* args, PyObject* kwargs = nullptr) {
  py::object fn = G(delegate);
  PyObject* r = PyObject_Call(fn.ptr(), args, kwargs);
  if (r) return steal(r);
  filter_pending_error();
  throw py::error_already_set();
}

py::object filtered(PyObject* delegate, std::initializer_list<PyObject*> args) {
  py::tuple tuple(args.size());
  size_t i = 0;
  for (PyObject* a : args) tuple[i++] = py::handle(a);
  return filtered(delegate, tuple.ptr());
}

// ------------------------------------------------------------------ proxy methods

// The remote read of a name that ordinary lookup did not find; a __name__
// is refused here, without unwinding.
PyObject* remote_getattr(PyObject* self, PyObject* name) noexcept {
  if (PyUnicode_CheckExact(name) && is_dunder(name)) return no_such_attribute(self, name);
  return tv::catch_to_null([&] {
    require_name(name);
    return filtered(K("_cw__getattr__"), {self, name}).release().ptr();
  });
}

// __getattr__(self, name) of the object and array proxies.
PyObject* object_getattr(const tv::FunctionSpec*, PyObject* const* args) noexcept {
  return remote_getattr(args[0], args[1]);
}
py::object object_getitem(py::object self, py::object index) {
  return filtered(K("_cw__getitem__"), {self.ptr(), index.ptr()});
}
py::object object_setattr(py::object self, py::object name, py::object value) {
  require_name(name.ptr());
  return filtered(K("_cw__setattr__"), {self.ptr(), name.ptr(), value.ptr()});
}
// One per proxy class: the receiver must be of that class, as for the other methods.
template <PyTypeObject** Cls>
PyObject* proxy_call(PyObject*, PyObject* args, PyObject* kwargs) {
  try {
    if (PyTuple_GET_SIZE(args) < 1) {
      PyErr_Format(PyExc_TypeError, "descriptor '__call__' of '%s' object needs an argument", (*Cls)->tp_name);
      return nullptr;
    }
    if (!PyObject_TypeCheck(PyTuple_GET_ITEM(args, 0), *Cls))
      tv::raise_receiver_type("__call__", *Cls, PyTuple_GET_ITEM(args, 0));
    // args holds the proxy first; the keywords are a fresh dict already.
    return filtered(K("_cw__call__"), args, kwargs).release().ptr();
  } catch (...) {
    if (tv::forced_unwind()) throw;  // a thread ended at exit: not ours to stop
    tv::set_python_error_from_current_exception();
    return nullptr;
  }
}
void proxy_del(py::object self) {
  // At interpreter shutdown the module's globals are already cleared.
  PyObject* delegate = PyDict_GetItemWithError(globals_dict(), K("_cw__del__"));
  if (!delegate || delegate == Py_None) {
    PyErr_Clear();
    return;
  }
  Py_INCREF(delegate);
  PyObject* arg = self.ptr();
  PyObject* r = PyObject_Vectorcall(delegate, &arg, 1, nullptr);
  Py_DECREF(delegate);
  if (r) {
    Py_DECREF(r);
    return;
  }
  filter_pending_error();
  throw py::error_already_set();
}

py::str object_repr(py::object self) {
  py::object tname = steal(PyObject_Format(steal(PyObject_GetAttr(self.ptr(), K("_internal_typeName"))).ptr(), K("")));
  py::object id = steal(PyObject_Format(steal(PyObject_GetAttr(self.ptr(), K("_internal_id"))).ptr(), K("")));
  return py::reinterpret_steal<py::str>(steal(PyUnicode_FromFormat("<OfficeJsObject %U id=%U>", tname.ptr(), id.ptr())).release());
}

void array_setattr(py::object, py::object name, py::object) {
  require_name(name.ptr());
  raise(PyExc_AttributeError, "Cannot set attributes on OfficeJsArray");
}
py::str array_repr(py::object self) {
  py::object id = steal(PyObject_Format(steal(PyObject_GetAttr(self.ptr(), K("_internal_id"))).ptr(), K("")));
  Py_ssize_t n = PyObject_Size(self.ptr());
  if (n < 0) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(steal(PyUnicode_FromFormat("<OfficeJsArray id=%U len=%zd>", id.ptr(), n)).release());
}

// A local key first, then as for the other proxies.
PyObject* dict_getattr(const tv::FunctionSpec*, PyObject* const* args) noexcept {
  PyObject *self = args[0], *name = args[1];
  if (!PyUnicode_CheckExact(name)) return remote_getattr(self, name);  // refused there
  PyObject* local = PyDict_GetItemWithError(self, name);
  if (local) return Py_NewRef(local);
  if (PyErr_Occurred()) return nullptr;
  return remote_getattr(self, name);
}
void dict_setattr(py::object self, py::object name, py::object value) {
  require_name(name.ptr());
  int has = PyDict_Contains(self.ptr(), name.ptr());
  if (has < 0) throw py::error_already_set();
  if (!has) raise(PyExc_AttributeError, "Cannot set attributes on OfficeJsDict");
  if (PyObject_SetItem(self.ptr(), name.ptr(), value.ptr()) < 0) throw py::error_already_set();
}
py::str dict_repr(py::object self) {
  py::object id = steal(PyObject_Format(steal(PyObject_GetAttr(self.ptr(), K("_internal_id"))).ptr(), K("")));
  py::object keys = steal(PyObject_Repr(steal(PyDict_Keys(self.ptr())).ptr()));
  return py::reinterpret_steal<py::str>(steal(PyUnicode_FromFormat("<OfficeJsDict id=%U keys=%U>", id.ptr(), keys.ptr())).release());
}

PyTypeObject* keep_type(py::object cls) { return reinterpret_cast<PyTypeObject*>(cls.release().ptr()); }

}  // namespace

py::object new_object_proxy(PyObject* object_id, PyObject* type_name) {
  py::object self = allocate(object_type);
  object_init(self.ptr(), object_id, type_name);
  return self;
}
py::object new_array_proxy(PyObject* object_id) {
  py::object self = allocate(array_type);
  container_init(self.ptr(), object_id, &PyList_Type, K("Array"), K("officejs_array"));
  return self;
}
py::object new_dict_proxy(PyObject* object_id) {
  py::object self = allocate(dict_type);
  container_init(self.ptr(), object_id, &PyDict_Type, K("Dict"), K("officejs_dict"));
  return self;
}

void define_remote_operations(Scope& m) {
  tv::def<&cw_getattr>(m, "_cw__getattr__", {"self", "name"}, "Get attribute proxy method for OfficeJsObject.");
  tv::def<&cw_getitem>(m, "_cw__getitem__", {"self", "index"}, "Get item proxy method for OfficeJsObject.");
  tv::def<&cw_setattr>(m, "_cw__setattr__", {"self", "name", "value"},
                       "Set attribute proxy method for OfficeJsObject.");
  tv::def_varargs(m, "_cw__call__", "Call proxy method for OfficeJsObject (Function type).", &cw_call);
  tv::def<&cw_del>(m, "_cw__del__", {"self"}, "Delete proxy method for OfficeJsObject.");
}

void define_proxies(Scope& m) {
  object_type = keep_type(tv::make_class(m, "OfficeJsObject", [](Scope& cls) {
    tv::def<&object_init_method>(cls, "__init__", {"self", "object_id", "type_name"});
    tv::def<&object_getattr>(cls, "__getattr__", {"self", "name"});
    tv::def<&object_getitem>(cls, "__getitem__", {"self", "index"});
    tv::def<&object_setattr>(cls, "__setattr__", {"self", "name", "value"});
    tv::def_varargs(cls, "__call__", nullptr, &proxy_call<&object_type>);
    tv::def<&proxy_del>(cls, "__del__", {"self"});
    tv::def<&object_repr>(cls, "__repr__", {"self"});
  }));
  py::object list_t = py::reinterpret_borrow<py::object>((PyObject*)&PyList_Type);
  py::object dict_t = py::reinterpret_borrow<py::object>((PyObject*)&PyDict_Type);
  array_type = keep_type(tv::make_class(
      m, "OfficeJsArray",
      [](Scope& cls) {
        tv::def<&array_init_method>(cls, "__init__", {"self", "object_id"});
        tv::def<&object_getattr>(cls, "__getattr__", {"self", "name"});
        tv::def<&array_setattr>(cls, "__setattr__", {"self", "name", "value"});
        tv::def_varargs(cls, "__call__", nullptr, &proxy_call<&array_type>);
        tv::def<&proxy_del>(cls, "__del__", {"self"});
        tv::def<&array_repr>(cls, "__repr__", {"self"});
      },
      py::make_tuple(list_t)));
  dict_type = keep_type(tv::make_class(
      m, "OfficeJsDict",
      [](Scope& cls) {
        tv::def<&dict_init_method>(cls, "__init__", {"self", "object_id"});
        tv::def<&dict_getattr>(cls, "__getattr__", {"self", "name"});
        tv::def<&dict_setattr>(cls, "__setattr__", {"self", "name", "value"});
        tv::def_varargs(cls, "__call__", nullptr, &proxy_call<&dict_type>);
        tv::def<&proxy_del>(cls, "__del__", {"self"});
        tv::def<&dict_repr>(cls, "__repr__", {"self"});
      },
      py::make_tuple(dict_t)));
}

}  // namespace panticle
