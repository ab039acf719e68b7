#include "core/cache.hpp"
#include "core/recency_list.hpp"
#include "core/ref.hpp"

namespace ivro {

bool require_initialised(Cache *c) noexcept {
  if (c->key_map != nullptr) return true;
  PyErr_SetString(PyExc_RuntimeError,
                  "IVRO object is not initialised: IVRO.__init__ was never called");
  return false;
}

void clear_key_map(Cache *c) noexcept {
  PyObject *map = c->key_map;
  PyDict_Clear(map);
  // A cleared dict shares the interpreter's empty key table, which is the
  // kind reserved for str keys. If this clear ran from inside a key's
  // __eq__ while the dict was inserting that key, the insertion resumes
  // into such a table and leaves an entry that no lookup can find again.
  // Storing and deleting a key of another type moves the dict to a general
  // table first. The key is the entry type itself: no user key can equal it
  // and its hashing runs no Python code.
  PyObject *marker = reinterpret_cast<PyObject *>(&NodeType);
  if (PyDict_SetItem(map, marker, Py_None) == 0) {
    if (PyDict_DelItem(map, marker) < 0) PyErr_Clear();
  } else {
    PyErr_Clear();
  }
}

// A second __init__ validates everything before it changes anything, so a
// failed call leaves the cache as it was; a successful one makes it a fresh
// cache. The dictionary itself is kept and cleared rather than replaced:
// an operation further up the stack may be inside one of its lookups.
int cache_init(PyObject *self, PyObject *args, PyObject *kwds) {
  Cache *c = as_cache(self);
  static const char *kwlist[] = {"size", "callback", nullptr};
  Py_ssize_t size = 0;
  PyObject *callback = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "n|O", const_cast<char **>(kwlist), &size,
                                   &callback)) {
    return -1;
  }
  if (callback == Py_None) callback = nullptr;
  if (callback != nullptr && !PyCallable_Check(callback)) {
    PyErr_SetString(PyExc_TypeError, "parameter must be callable");
    return -1;
  }
  if (size <= 0) {
    PyErr_SetString(PyExc_ValueError, "Size should be a positive number");
    return -1;
  }

  if (c->key_map == nullptr) {
    PyObject *map = PyDict_New();
    if (map == nullptr) return -1;
    PyObject_GC_UnTrack(map);
    c->key_map = map;
    c->newest = nullptr;
    c->oldest = nullptr;
    c->size = size;
    c->hits = 0;
    c->misses = 0;
    c->callback = Py_XNewRef(callback);
    return 0;
  }

  release_all_links(c);
  c->size = size;
  c->hits = 0;
  c->misses = 0;
  Ref<> old_callback = Ref<>::steal(c->callback);
  c->callback = Py_XNewRef(callback);
  // Old entries go without any callback; their finalisers see an empty,
  // consistent cache with the new settings.
  clear_key_map(c);
  return 0;
}

void cache_dealloc(PyObject *self) {
  Cache *c = as_cache(self);
  release_all_links(c);
  PyObject *map = c->key_map;
  c->key_map = nullptr;
  if (map != nullptr) {
    PyDict_Clear(map);
    Py_DECREF(map);
  }
  c->hits = 0;
  c->misses = 0;
  Py_CLEAR(c->callback);
  Node *spare = c->spare;
  c->spare = nullptr;
  Py_XDECREF(spare);
  Py_TYPE(self)->tp_free(self);
}

Py_ssize_t cache_length(PyObject *self) {
  Cache *c = as_cache(self);
  if (!require_initialised(c)) return -1;
  return PyDict_GET_SIZE(c->key_map);
}

}  // namespace ivro
