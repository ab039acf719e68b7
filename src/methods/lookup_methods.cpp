// get, setdefault, pop, popitem, has_key and membership.
#include "core/cache.hpp"
#include "core/dict_access.hpp"
#include "core/node_reuse.hpp"
#include "core/recency_list.hpp"
#include "core/ref.hpp"
#include "methods/fast_args.hpp"
#include "methods/methods.hpp"

namespace ivro {

namespace {

// A miss of any kind, an unhashable key included, is counted and answered
// with the default. Only ordinary errors make a miss: Ctrl-C, SystemExit
// or MemoryError raised while the key is hashed or compared go through.
// Inline, so that the common call shape pays no second call.
inline PyObject *get_entry(PyObject *self, PyObject *key, PyObject *dflt) {
  Cache *c = as_cache(self);
  if (!require_initialised(c)) return nullptr;
  MapHold map(c);
  PyObject *found = nullptr;
  int r = dict_find_or_miss(map.get(), key, &found);
  Node *n = reinterpret_cast<Node *>(found);
  // Stored after an emptying that this lookup counts as preceding.
  if (r > 0 && !map.current() && node_state(n) == NodeState::orphan) r = 0;
  if (r <= 0) {
    ++c->misses;
    if (r < 0) {
      if (!pending_error_is_ordinary()) return nullptr;
      PyErr_Clear();
    }
    return Py_NewRef(dflt);
  }
  if (map.current()) move_to_newest(c, n);
  ++c->hits;
  return Py_NewRef(n->value);
}

PyObject *get_parsed(PyObject *self, PyObject *args, PyObject *kwds) {
  static const char *kwlist[] = {"key", "default", nullptr};
  PyObject *key = nullptr;
  PyObject *dflt = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O", const_cast<char **>(kwlist), &key, &dflt)) {
    return nullptr;
  }
  return get_entry(self, key, dflt);
}

}  // namespace

PyObject *cache_get(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  if (kwnames == nullptr && (nargs == 1 || nargs == 2)) {
    return get_entry(self, args[0], nargs == 2 ? args[1] : Py_None);
  }
  return call_with_tuple(get_parsed, self, args, nargs, kwnames);
}

namespace {

// One probe, like a plain dict's setdefault; counted as a hit or a miss.
PyObject *setdefault_entry(Cache *c, PyObject *key, PyObject *dflt) {
  // The default is what this call returns, whatever the eviction's
  // callback does meanwhile.
  Ref<> result = Ref<>::borrow(dflt);
  Node *found = nullptr;
  switch (insert_or_find(c, key, dflt, &found, true)) {
    case Upsert::found:
      move_to_newest(c, found);
      ++c->hits;
      return Py_NewRef(found->value);
    case Upsert::inserted:
      return result.release();
    case Upsert::failed:
      ++c->misses;
      return nullptr;
    case Upsert::inserted_but_raised:
      break;
  }
  return nullptr;
}

// Any other number of arguments: the parser's own error.
PyObject *setdefault_parsed(PyObject *self, PyObject *args, PyObject *) {
  PyObject *key = nullptr;
  PyObject *dflt = Py_None;
  // GCOVR_EXCL_START: reached only by the calls that cache_setdefault turns
  // away (not one or two arguments), each of which the parser refuses.
  if (!PyArg_ParseTuple(args, "O|O", &key, &dflt)) return nullptr;
  return setdefault_entry(as_cache(self), key, dflt);
  // GCOVR_EXCL_STOP
}

}  // namespace

// Positional only: the interpreter refuses keywords before the call.
PyObject *cache_setdefault(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
  Cache *c = as_cache(self);
  if (!require_initialised(c)) return nullptr;
  if (nargs == 1 || nargs == 2) return setdefault_entry(c, args[0], nargs == 2 ? args[1] : Py_None);
  return call_with_tuple(setdefault_parsed, self, args, nargs, nullptr);
}

namespace {

PyObject *pop_entry(PyObject *self, PyObject *key, PyObject *dflt) {
  Cache *c = as_cache(self);
  if (!require_initialised(c)) return nullptr;
  Node *removed = nullptr;
  int r = remove_entry(c, key, &removed);
  if (r <= 0) {
    ++c->misses;
    if (r < 0 && !pending_error_is_ordinary()) return nullptr;
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

PyObject *pop_parsed(PyObject *self, PyObject *args, PyObject *kwds) {
  static const char *kwlist[] = {"key", "default", nullptr};
  PyObject *key = nullptr;
  PyObject *dflt = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O", const_cast<char **>(kwlist), &key, &dflt)) {
    return nullptr;
  }
  return pop_entry(self, key, dflt);
}

}  // namespace

PyObject *cache_pop(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  if (kwnames == nullptr && (nargs == 1 || nargs == 2)) {
    return pop_entry(self, args[0], nargs == 2 ? args[1] : nullptr);
  }
  return call_with_tuple(pop_parsed, self, args, nargs, kwnames);
}

namespace {

PyObject *popitem_entry(Cache *c, bool least_recent) {
  // The key's own hashing during the removal may remove the chosen entry
  // first (re-entrantly or from another thread); then the next one is
  // chosen, so that no entry is handed out by two removals. The pair is
  // filled from what was actually removed, and its tuple exists before the
  // removal, so that nothing can fail once an entry is out.
  while (true) {
    Node *end = least_recent ? c->oldest : c->newest;
    if (end == nullptr) {
      PyErr_SetString(PyExc_KeyError, "popitem(): IVRO dict is empty");
      return nullptr;
    }
    // Holding the node holds its key too: a node's key never changes while
    // anyone holds the node.
    Ref<Node> hold = Ref<Node>::borrow(end);
    RemovalKeyHold key_hold(node_key(end));
    Ref<> pair = Ref<>::steal(PyTuple_New(2));
    if (!pair) return nullptr;
    Node *removed = nullptr;
    // A failing hash or comparison leaves the entry where it is.
    int r = remove_entry(c, node_key(end), &removed);
    if (r < 0) return nullptr;
    if (r == 0) {
      if (is_linked(c, end) && !wait_for_removal_elsewhere(c, end)) {
        // Its own key no longer finds it: its hash or equality changed.
        PyErr_SetString(PyExc_KeyError,
                        "popitem(): the entry's key can no longer be found by its own hash "
                        "and equality");
        return nullptr;
      }
      continue;  // removed meanwhile by someone else: take the next one
    }
    // Another entry may have taken the key meanwhile; what left is what
    // this call returns.
    PyTuple_SET_ITEM(pair.get(), 0, Py_NewRef(node_key(removed)));
    PyTuple_SET_ITEM(pair.get(), 1, Py_NewRef(removed->value));
    hold.reset();
    discard_node(c, removed);
    return pair.release();
  }
}

PyObject *popitem_parsed(PyObject *self, PyObject *args, PyObject *kwds) {
  static const char *kwlist[] = {"least_recent", nullptr};
  int least_recent = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|p", const_cast<char **>(kwlist), &least_recent)) {
    return nullptr;
  }
  return popitem_entry(as_cache(self), least_recent != 0);
}

}  // namespace

PyObject *cache_popitem(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) {
  Cache *c = as_cache(self);
  if (!require_initialised(c)) return nullptr;
  if (kwnames == nullptr && nargs <= 1) {
    // What the parser's "p" does with the argument.
    int least_recent = nargs == 1 ? PyObject_IsTrue(args[0]) : 1;
    if (least_recent < 0) return nullptr;
    return popitem_entry(c, least_recent != 0);
  }
  return call_with_tuple(popitem_parsed, self, args, nargs, kwnames);
}

int cache_contains(PyObject *self, PyObject *key) {
  Cache *c = as_cache(self);
  if (!require_initialised(c)) return -1;
  MapHold map(c);
  return PyDict_Contains(map.get(), key);
}

PyObject *cache_contains_method(PyObject *self, PyObject *key) {
  int r = cache_contains(self, key);
  if (r < 0) return nullptr;
  return PyBool_FromLong(r);
}

namespace {

PyObject *has_key_parsed(PyObject *self, PyObject *args, PyObject *) {
  PyObject *key = nullptr;
  // GCOVR_EXCL_START: reached only by the calls that cache_has_key turns
  // away (not one argument), each of which the parser refuses.
  if (!PyArg_ParseTuple(args, "O", &key)) return nullptr;
  return cache_contains_method(self, key);
  // GCOVR_EXCL_STOP
}

}  // namespace

// Positional only, like setdefault.
PyObject *cache_has_key(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
  if (nargs == 1) return cache_contains_method(self, args[0]);
  return call_with_tuple(has_key_parsed, self, args, nargs, nullptr);
}

}  // namespace ivro
