// get, setdefault, pop, popitem, has_key and membership.
#include "core/cache.hpp"
#include "core/recency_list.hpp"
#include "core/ref.hpp"
#include "methods/methods.hpp"

namespace ivro {

// A miss of any kind, an unhashable key included, is counted and answered
// with the default.
PyObject *cache_get(PyObject *self, PyObject *args, PyObject *kwds) {
  Cache *c = as_cache(self);
  if (!require_initialised(c)) return nullptr;
  static const char *kwlist[] = {"key", "default", nullptr};
  PyObject *key = nullptr;
  PyObject *dflt = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O", const_cast<char **>(kwlist), &key,
                                   &dflt)) {
    return nullptr;
  }
  PyObject *found = PyDict_GetItemWithError(c->key_map, key);
  if (found == nullptr) {
    ++c->misses;
    PyErr_Clear();
    return Py_NewRef(dflt);
  }
  Node *n = reinterpret_cast<Node *>(found);
  move_to_newest(c, n);
  ++c->hits;
  return Py_NewRef(n->value);
}

PyObject *cache_setdefault(PyObject *self, PyObject *args) {
  Cache *c = as_cache(self);
  if (!require_initialised(c)) return nullptr;
  PyObject *key = nullptr;
  PyObject *dflt = Py_None;
  if (!PyArg_ParseTuple(args, "O|O", &key, &dflt)) return nullptr;
  PyObject *value = counted_lookup(self, key);
  if (value != nullptr) return value;
  PyErr_Clear();
  // The default is held across the insertion: the callback it triggers may
  // do anything, and the default is what this call returns.
  Ref<> result = Ref<>::borrow(dflt);
  if (assign_entry(self, key, result.get()) < 0) return nullptr;
  return result.release();
}

PyObject *cache_pop(PyObject *self, PyObject *args, PyObject *kwds) {
  Cache *c = as_cache(self);
  if (!require_initialised(c)) return nullptr;
  static const char *kwlist[] = {"key", "default", nullptr};
  PyObject *key = nullptr;
  PyObject *dflt = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O", const_cast<char **>(kwlist), &key,
                                   &dflt)) {
    return nullptr;
  }
  Node *removed = nullptr;
  int r = remove_entry(c, key, &removed);
  if (r <= 0) {
    ++c->misses;
    if (dflt != nullptr) {
      PyErr_Clear();
      return Py_NewRef(dflt);
    }
    if (r == 0) set_key_error(key);
    return nullptr;
  }
  ++c->hits;
  PyObject *value = Py_NewRef(removed->value);
  discard_node(c, removed);
  return value;
}

PyObject *cache_popitem(PyObject *self, PyObject *args, PyObject *kwds) {
  Cache *c = as_cache(self);
  if (!require_initialised(c)) return nullptr;
  static const char *kwlist[] = {"least_recent", nullptr};
  int least_recent = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|p", const_cast<char **>(kwlist),
                                   &least_recent)) {
    return nullptr;
  }
  Node *end = least_recent ? c->oldest : c->newest;
  if (end == nullptr) {
    PyErr_SetString(PyExc_KeyError, "popitem(): IVRO dict is empty");
    return nullptr;
  }
  Ref<Node> hold = Ref<Node>::borrow(end);
  Ref<> pair = Ref<>::steal(PyTuple_Pack(2, end->key, end->value));
  if (!pair) return nullptr;
  Node *removed = nullptr;
  // The key's own hashing or comparison may fail here; the entry then
  // stays where it is and the call fails.
  if (remove_entry(c, end->key, &removed) < 0) return nullptr;
  hold.reset();
  if (removed != nullptr) discard_node(c, removed);
  return pair.release();
}

int cache_contains(PyObject *self, PyObject *key) {
  Cache *c = as_cache(self);
  if (!require_initialised(c)) return -1;
  return PyDict_Contains(c->key_map, key);
}

PyObject *cache_contains_method(PyObject *self, PyObject *key) {
  int r = cache_contains(self, key);
  if (r < 0) return nullptr;
  return PyBool_FromLong(r);
}

PyObject *cache_has_key(PyObject *self, PyObject *args) {
  PyObject *key = nullptr;
  if (!PyArg_ParseTuple(args, "O", &key)) return nullptr;
  return cache_contains_method(self, key);
}

}  // namespace ivro
