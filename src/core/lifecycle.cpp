#include "core/cache.hpp"
#include "core/locking.hpp"
#include "core/recency_list.hpp"
#include "core/ref.hpp"

#include <utility>

namespace ivro {

bool require_initialised(Cache *c) noexcept {
  if (c->key_map != nullptr) return true;
  PyErr_SetString(PyExc_RuntimeError,
                  "IVRO object is not initialised: IVRO.__init__ was never called");
  return false;
}

bool pending_error_is_ordinary() noexcept {
  return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

static PyObject *new_key_map() noexcept {
  PyObject *map = PyDict_New();
  // Kept out of the garbage collector's sight: see keep_untracked.
  if (map != nullptr) PyObject_GC_UnTrack(map);
  return map;
}

int replace_key_map(Cache *c, Ref<> &old) noexcept {
#ifdef Py_GIL_DISABLED
  // The nodes move to a list first, so that emptying the dictionary drops
  // no last reference and runs no code (each key lives on in its node).
  Ref<> entries = Ref<>::steal(PyList_New(PyDict_GET_SIZE(c->key_map)));
  if (!entries) return -1;
  Py_ssize_t pos = 0;
  Py_ssize_t i = 0;
  PyObject *key = nullptr;
  PyObject *node = nullptr;
  while (PyDict_Next(c->key_map, &pos, &key, &node)) {
    PyList_SET_ITEM(entries.get(), i++, Py_NewRef(node));
  }
  // An emptied dict has a table for str keys only. A store that was under
  // way in it (a key's __eq__ emptied the cache) resumes in whatever table
  // it then finds, and the interpreter's insertion, which chose the kind of
  // table before its lookup ran that __eq__, puts a key of another type
  // into the str-only one, where no lookup finds it again (CPython
  // gh-140551, fixed in 3.13.10, 3.14.1 and 3.15.0a2; a module built for
  // one release may be loaded by an earlier one). So the table is made a
  // general one again at once: a non-str key in and out. That needs a new
  // table: if no memory can be had for it, the cache is empty all the
  // same, and the operation says so by failing with the MemoryError.
  release_all_links(c);
  PyDict_Clear(c->key_map);
  old = std::move(entries);
  if (PyDict_SetItem(c->key_map, Py_None, Py_None) < 0) return -1;
  return PyDict_DelItem(c->key_map, Py_None);
#else
  PyObject *fresh = new_key_map();
  if (fresh == nullptr) return -1;
  release_all_links(c);
  old = Ref<>::steal(c->key_map);
  c->key_map = fresh;
  return 0;
#endif
}

// Makes the cache a fresh one with the given settings. Runs holding the
// cache's lock, which is only known once the arguments are parsed: their
// parsing runs user code (the size's __index__), and without the GIL
// another thread may initialise the cache meanwhile.
static int apply_init(PyObject *self, Py_ssize_t size, PyObject *callback) {
  Cache *c = as_cache(self);
  if (c->key_map == nullptr) {
    PyObject *map = new_key_map();
    if (map == nullptr) return -1;
    c->newest = nullptr;
    c->oldest = nullptr;
    c->size = size;
    c->hits = 0;
    c->misses = 0;
    exchange_callback(c, Py_XNewRef(callback));
    // Last: without the GIL, other threads go to work on the cache as soon
    // as they see its dictionary.
    publish_key_map(c, map);
    return 0;
  }

  // The old entries and callback are released last, when the cache has its
  // new settings: their finalisers may use it.
  Ref<> old_entries;
  int emptied = replace_key_map(c, old_entries);
  if (emptied < 0 && !old_entries) return -1;
  c->size = size;
  c->hits = 0;
  c->misses = 0;
  Ref<> old_callback = Ref<>::steal(exchange_callback(c, Py_XNewRef(callback)));
  return emptied;
}

// A second __init__ validates everything before it changes anything, so a
// failed call leaves the cache as it was; a successful one makes it a fresh
// cache, and the old entries and callback go without any callback call.
// Two calls that overlap leave the settings of the one applied last.
int cache_init(PyObject *self, PyObject *args, PyObject *kwds) {
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
  return locked_init<apply_init>(self, size, callback);
}

void cache_dealloc(PyObject *self) {
  Cache *c = as_cache(self);
  release_all_links(c);
  Py_CLEAR(c->key_map);
  c->hits = 0;
  c->misses = 0;
  Py_XDECREF(exchange_callback(c, nullptr));
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
