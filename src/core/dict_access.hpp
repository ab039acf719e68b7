// The few dictionary operations the cache needs, in the forms that run the
// fewest hashes and never create an exception just to clear it again.
#pragma once

#include <Python.h>

namespace ivro {

// Looks `key` up and tells absence from failure without creating an
// exception on a miss. 1 with a borrowed node in *out, 0 when absent, -1 on
// error. The borrowed pointer is valid until Python code next runs. (The
// borrowing lookup is measurably cheaper on a hit than PyDict_GetItemRef,
// which takes and drops a reference to the node.)
inline int dict_find(PyObject *d, PyObject *key, PyObject **out) {
  *out = PyDict_GetItemWithError(d, key);
  if (*out != nullptr) return 1;
  return PyErr_Occurred() ? -1 : 0;
}

// The same for lookups that miss as often as they hit (get): where the
// interpreter offers it, a lookup that reports absence in its result,
// without asking the thread state whether an error is pending.
inline int dict_find_or_miss(PyObject *d, PyObject *key, PyObject **out) {
#if PY_VERSION_HEX >= 0x030D0000
  int r = PyDict_GetItemRef(d, key, out);
  // The dictionary keeps its own reference, and nothing runs before the
  // caller is done with the node.
  if (r > 0) Py_DECREF(*out);
  return r;
#else
  return dict_find(d, key, out);
#endif
}

// Removes `key` and hands over the value it held. 1 with a new reference in
// *out, 0 when absent (no error), -1 on error. The key is hashed even when
// the dictionary is empty, so an unhashable key always fails like it does
// for a plain dict's deletion.
inline int dict_take(PyObject *d, PyObject *key, PyObject **out) {
  *out = nullptr;
  if (PyDict_GET_SIZE(d) == 0) {
    return PyObject_Hash(key) == -1 ? -1 : 0;
  }
#if PY_VERSION_HEX >= 0x030D0000
  return PyDict_Pop(d, key, out);
#else
  // Every value in the cache's dictionary is a node, so None can only mean
  // that the key was absent.
  PyObject *r = _PyDict_Pop(d, key, Py_None);
  if (r == nullptr) return -1;
  if (r == Py_None) {
    Py_DECREF(r);
    return 0;
  }
  *out = r;
  return 1;
#endif
}

}  // namespace ivro
