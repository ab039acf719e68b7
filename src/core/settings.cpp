// Capacity, callback and counters.
#include "core/settings.hpp"
#include "core/cache.hpp"
#include "core/recency_list.hpp"
#include "core/recursion_guard.hpp"
#include "core/ref.hpp"
#include "methods/fast_args.hpp"

namespace ivro {

static PyObject *set_callback(Cache *c, PyObject *callback);

// The new capacity is in force before the first eviction: a callback that
// inserts while the cache shrinks then evicts for itself, instead of
// refilling the cache as fast as this loop empties it.
static PyObject *set_size(Cache *c, Py_ssize_t size) {
  if (size <= 0) {
    PyErr_SetString(PyExc_ValueError, "Size should be a positive number");
    return nullptr;
  }
  RecursionGuard guard;
  if (PyDict_GET_SIZE(c->key_map) - c->pinned_count > size && !guard.reserve(c)) {
    return nullptr;
  }
  c->size = size;
  // Stuck entries get another try here too, so set_size(get_size()) is a
  // way to retry them.
  if ((surplus(c) > 0 || c->stuck_count > 0) &&
      evict_surplus(c, nullptr, true, guard.reserved()) < 0) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

namespace {

PyObject *set_size_parsed(PyObject *self, PyObject *args, PyObject *) {
  Py_ssize_t size = 0;
  if (!PyArg_ParseTuple(args, "n", &size)) return nullptr;
  return set_size(as_cache(self), size);
}

PyObject *set_callback_parsed(PyObject *self, PyObject *args, PyObject *) {
  PyObject *callback = nullptr;
  // GCOVR_EXCL_START: reached only by the calls that cache_set_callback
  // turns away (not one argument), each of which the parser refuses: it is
  // here for its message.
  if (!PyArg_ParseTuple(args, "O:set_callback", &callback)) return nullptr;
  return set_callback(as_cache(self), callback);
  // GCOVR_EXCL_STOP
}

}  // namespace

// The common shape (one exact int) is read directly; anything else goes
// through the argument parser, for its conversions and its messages.
PyObject *cache_set_size(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
  if (!require_initialised(as_cache(self))) return nullptr;
  if (nargs == 1 && PyLong_CheckExact(args[0])) {
    Py_ssize_t size = PyLong_AsSsize_t(args[0]);
    if (size == -1 && PyErr_Occurred()) return nullptr;
    return set_size(as_cache(self), size);
  }
  return call_with_tuple(set_size_parsed, self, args, nargs, nullptr);
}

PyObject *cache_get_size(PyObject *self, PyObject *) {
  Cache *c = as_cache(self);
  if (!require_initialised(c)) return nullptr;
  return PyLong_FromSsize_t(c->size);
}

PyObject *exchange_callback(Cache *c, PyObject *callback) noexcept {
  PyObject *previous = c->callback;
  c->callback = callback;
  PyObject *function = callback;
  if (function != nullptr && PyMethod_Check(function)) function = PyMethod_GET_FUNCTION(function);
  c->callback_counts = function != nullptr && !PyFunction_Check(function);
  return previous;
}

static PyObject *set_callback(Cache *c, PyObject *callback) {
  if (callback == Py_None) {
    callback = nullptr;
  } else if (!PyCallable_Check(callback)) {
    PyErr_SetString(PyExc_TypeError, "parameter must be callable");
    return nullptr;
  }
  // The field changes before the old callback goes: its finaliser may look.
  Ref<> previous = Ref<>::steal(exchange_callback(c, Py_XNewRef(callback)));
  previous.reset();
  Py_RETURN_NONE;
}

PyObject *cache_set_callback(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
  if (!require_initialised(as_cache(self))) return nullptr;
  if (nargs == 1) return set_callback(as_cache(self), args[0]);
  return call_with_tuple(set_callback_parsed, self, args, nargs, nullptr);
}

PyObject *cache_get_stats(PyObject *self, PyObject *) {
  Cache *c = as_cache(self);
  if (!require_initialised(c)) return nullptr;
  Ref<> hits = Ref<>::steal(PyLong_FromUnsignedLongLong(c->hits));
  if (!hits) return nullptr;
  Ref<> misses = Ref<>::steal(PyLong_FromUnsignedLongLong(c->misses));
  if (!misses) return nullptr;
  return PyTuple_Pack(2, hits.get(), misses.get());
}

// Entries go without any callback, and only once the cache is empty and
// its counters reset, so that their finalisers find it usable.
PyObject *cache_clear(PyObject *self, PyObject *) {
  Cache *c = as_cache(self);
  if (!require_initialised(c)) return nullptr;
  Ref<> old_entries;
  int emptied = replace_key_map(c, old_entries);
  if (emptied < 0 && !old_entries) return nullptr;
  c->hits = 0;
  c->misses = 0;
  old_entries.reset();
  if (emptied < 0) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace ivro
