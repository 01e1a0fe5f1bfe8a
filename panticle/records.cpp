// Wire records made from a template: one table copy, then the value stored
// in its slot. The copy is new and seen by nobody, and the template fixes
// where "value" sits, so on the interpreter this module is built for the slot
// is written directly instead of through a keyed store (a hash lookup per
// cell of a large table). Anything unexpected takes the keyed store.
#define Py_BUILD_CORE 1
#include <Python.h>

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000 && __has_include("internal/pycore_dict.h")
#include "internal/pycore_dict.h"
#define PANTICLE_SLOT_STORE 1
#endif

namespace panticle {

namespace {
bool may_be_tracked(PyObject* o) {
  return PyObject_IS_GC(o) && (!PyTuple_CheckExact(o) || PyObject_GC_IsTracked(o));
}
}  // namespace

PyObject* copy_with_value(PyObject* tpl, PyObject* key, Py_ssize_t slot, PyObject* value) {
  PyObject* d = PyDict_Copy(tpl);
  if (!d) return nullptr;
#ifdef PANTICLE_SLOT_STORE
  auto* mp = reinterpret_cast<PyDictObject*>(d);
  PyDictKeysObject* keys = mp->ma_keys;
  if (!mp->ma_values && DK_IS_UNICODE(keys) && slot < keys->dk_nentries) {
    PyDictUnicodeEntry* entry = DK_UNICODE_ENTRIES(keys) + slot;
    if (entry->me_key == key && entry->me_value) {
      PyObject* old = entry->me_value;
      entry->me_value = Py_NewRef(value);
      Py_DECREF(old);
      // As a keyed store would: a dict that may hold a container is tracked.
      if (may_be_tracked(value) && !PyObject_GC_IsTracked(d)) PyObject_GC_Track(d);
      return d;
    }
  }
#endif
  if (PyDict_SetItem(d, key, value) < 0) Py_CLEAR(d);
  return d;
}

}  // namespace panticle
