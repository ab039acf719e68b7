// update([other], **kwargs): what dict.update accepts, read the way
// dict.update reads it, applied pair by pair through the ordinary
// assignment, so each pair refreshes or inserts and may evict. Each key and
// value is held across its assignment: the callback it triggers may change
// `other` or this cache. The first failing pair stops the update; the
// pairs before it stay applied.
#include "core/cache.hpp"
#include "core/locking.hpp"
#include "core/ref.hpp"
#include "methods/methods.hpp"

namespace ivro {

namespace {

int assign_pair(PyObject *self, PyObject *key, PyObject *value) {
  Ref<> k = Ref<>::borrow(key);
  Ref<> v = Ref<>::borrow(value);
  return assign_entry(self, k.get(), v.get());
}

// One pair of a dict's; like dict.update, a change of the dict's size (the
// callback adding to or clearing the source) ends the walk with an error
// rather than reading on, possibly for ever.
int assign_dict_pair(PyObject *self, PyObject *key, PyObject *value, PyObject *dict,
                     Py_ssize_t size) {
  if (assign_pair(self, key, value) < 0) return -1;
  if (PyDict_GET_SIZE(dict) == size) return 0;
  PyErr_SetString(PyExc_RuntimeError, "dict mutated during update");
  return -1;
}

// The raw walk of a dict. PyDict_Next stays memory-safe when the dict
// changes between calls.
int update_from_dict(PyObject *self, PyObject *dict) {
  const Py_ssize_t size = PyDict_GET_SIZE(dict);
#ifdef Py_GIL_DISABLED
  // Without the GIL a dict can only be walked under its own lock, which
  // must not be held while this cache's dictionary is used (see
  // locking.hpp): its pairs are read at once instead.
  Ref<> pairs = Ref<>::steal(PyDict_Items(dict));
  if (!pairs) return -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
    PyObject *pair = PyList_GET_ITEM(pairs.get(), i);
    if (assign_dict_pair(self, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1), dict, size) <
        0) {
      return -1;
    }
  }
#else
  Py_ssize_t pos = 0;
  PyObject *key = nullptr;
  PyObject *value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (assign_dict_pair(self, key, value, dict, size) < 0) return -1;
  }
#endif
  return 0;
}

// dict.update reads a dict's storage directly only when iterating it would
// give the same order: an OrderedDict, or a subclass with its own
// __iter__, goes through keys() and __getitem__ like any mapping.
bool walk_as_raw_dict(PyObject *other) {
  return PyDict_CheckExact(other) ||
         (PyDict_Check(other) && Py_TYPE(other)->tp_iter == PyDict_Type.tp_iter);
}

// Another cache is read without touching its counters or its order, and
// its entries go in oldest first so that their relative recency carries
// over. It is read at once, under its own lock, and that lock is let go
// before this cache changes.
int update_from_cache(PyObject *self, PyObject *other) {
  Ref<> items = Ref<>::steal(locked<cache_items>(other, nullptr));
  if (!items) return -1;
  for (Py_ssize_t i = PyList_GET_SIZE(items.get()) - 1; i >= 0; --i) {
    PyObject *pair = PyList_GET_ITEM(items.get(), i);
    if (assign_pair(self, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) {
      return -1;
    }
  }
  return 0;
}

// As dict.update: keys() is read whole before anything is stored, so a
// keys() that fails part-way stores nothing, and a result that is no
// iterable fails in the interpreter's own words.
int update_from_mapping(PyObject *self, PyObject *mapping) {
  Ref<> keys = Ref<>::steal(PyMapping_Keys(mapping));
  if (!keys) return -1;
  Ref<> it = Ref<>::steal(PyObject_GetIter(keys.get()));
  if (!it) return -1;
  while (true) {
    Ref<> key = Ref<>::steal(PyIter_Next(it.get()));
    if (!key) break;
    Ref<> value = Ref<>::steal(PyObject_GetItem(mapping, key.get()));
    if (!value) return -1;
    if (assign_entry(self, key.get(), value.get()) < 0) return -1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

int update_from_pairs(PyObject *self, PyObject *iterable) {
  Ref<> it = Ref<>::steal(PyObject_GetIter(iterable));
  if (!it) return -1;
  for (Py_ssize_t i = 0;; ++i) {
    Ref<> item = Ref<>::steal(PyIter_Next(it.get()));
    if (!item) break;
    Ref<> pair = Ref<>::steal(PySequence_Fast(item.get(), ""));
    if (!pair) {
      // In dict.update's own words, which changed in 3.14.
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
#if PY_VERSION_HEX >= 0x030E0000
        PyErr_SetString(PyExc_TypeError, "object is not iterable");
#else
        PyErr_Format(PyExc_TypeError,
                     "cannot convert dictionary update sequence element #%zd to a sequence", i);
#endif
      }
      return -1;
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(pair.get());
    if (n != 2) {
      PyErr_Format(PyExc_ValueError,
                   "dictionary update sequence element #%zd has length %zd; 2 is required", i, n);
      return -1;
    }
    PyObject **parts = PySequence_Fast_ITEMS(pair.get());
    if (assign_pair(self, parts[0], parts[1]) < 0) return -1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

int lookup_keys_method(PyObject *obj, PyObject **out) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyObject_GetOptionalAttrString(obj, "keys", out);
#else
  Ref<> name = Ref<>::steal(PyUnicode_InternFromString("keys"));
  if (!name) return -1;
  return _PyObject_LookupAttr(obj, name.get(), out);
#endif
}

int update_from(PyObject *self, PyObject *other) {
  if (walk_as_raw_dict(other)) return update_from_dict(self, other);
  if (Py_IS_TYPE(other, &CacheType)) return update_from_cache(self, other);
  PyObject *keys_method = nullptr;
  int has_keys = lookup_keys_method(other, &keys_method);
  if (has_keys < 0) return -1;
  Py_XDECREF(keys_method);  // looked up again by the call, as dict.update does
  if (has_keys > 0) return update_from_mapping(self, other);
  return update_from_pairs(self, other);
}

}  // namespace

PyObject *cache_update(PyObject *self, PyObject *args, PyObject *kwds) {
  Cache *c = as_cache(self);
  if (!require_initialised(c)) return nullptr;
  PyObject *other = nullptr;
  if (!PyArg_ParseTuple(args, "|O", &other)) return nullptr;
  if (other != nullptr && update_from(self, other) < 0) return nullptr;
  if (kwds != nullptr && update_from_dict(self, kwds) < 0) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace ivro
