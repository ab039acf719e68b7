// keys(), values(), items() and the two peeks, newest first. Nothing here
// refreshes recency or counts.
#include "core/cache.hpp"
#include "core/ref.hpp"
#include "methods/methods.hpp"

namespace ivro {

namespace {

enum class View { keys, values, items };

PyObject *view_element(const Node *n, View what) {
  switch (what) {
    case View::keys:
      return Py_NewRef(node_key(n));
    case View::values:
      return Py_NewRef(n->value);
    case View::items:
      break;
  }
  return PyTuple_Pack(2, node_key(n), n->value);
}

// One walk of the list that runs no Python code (allocation does not start
// the garbage collector on the interpreters this module supports), so the
// result shows the cache at one moment. The list is made before the walk;
// should the cache have changed size meanwhile, the list is trimmed or
// grown to what the walk found, never written past its end.
PyObject *make_view(PyObject *self, View what) {
  Cache *c = as_cache(self);
  if (!require_initialised(c)) return nullptr;
  Py_ssize_t expected = PyDict_GET_SIZE(c->key_map);
  Ref<> list = Ref<>::steal(PyList_New(expected));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const Node *n = c->newest; n != nullptr; n = n->older, ++i) {
    PyObject *element = view_element(n, what);
    if (element == nullptr) return nullptr;
    if (i < expected) {  // GCOVR_EXCL_BR_LINE: the walk runs no code, so its size holds
      PyList_SET_ITEM(list.get(), i, element);
    } else {
      // GCOVR_EXCL_START: never reached while the walk runs no code (see above)
      Ref<> owned = Ref<>::steal(element);
      if (PyList_Append(list.get(), element) < 0) return nullptr;
    }
  }
  if (i < expected) Py_SET_SIZE(reinterpret_cast<PyVarObject *>(list.get()), i);
  // GCOVR_EXCL_STOP
  return list.release();
}

PyObject *peek(PyObject *self, bool newest) {
  Cache *c = as_cache(self);
  if (!require_initialised(c)) return nullptr;
  const Node *n = newest ? c->newest : c->oldest;
  if (n == nullptr) Py_RETURN_NONE;
  return PyTuple_Pack(2, node_key(n), n->value);
}

}  // namespace

PyObject *cache_keys(PyObject *self, PyObject *) { return make_view(self, View::keys); }
PyObject *cache_values(PyObject *self, PyObject *) { return make_view(self, View::values); }
PyObject *cache_items(PyObject *self, PyObject *) { return make_view(self, View::items); }
PyObject *cache_peek_first_item(PyObject *self, PyObject *) { return peek(self, true); }
PyObject *cache_peek_last_item(PyObject *self, PyObject *) { return peek(self, false); }

}  // namespace ivro
