// copy, deepcopy and pickle: __reduce__ takes a snapshot of the cache,
// __setstate__ makes a cache the one a snapshot describes; and
// __class_getitem__, so that IVRO[K, V] works in annotations at run time.
//
// The state is (size, callback, hits, misses, stuck, entries), entries a
// flat tuple key, value, key, value, ... from the oldest entry to the
// newest, the first `stuck` of them stuck. Flat, because pickle then writes
// no tuple per entry and memoises none: such a tuple pickles and unpickles
// faster than a dict of the same entries, a tuple of pairs about twice as
// slowly.
//
// The callback is state rather than an argument of the constructor, so
// that pickle and deepcopy know the new cache before they reach its
// callback: a callback bound to an object that holds the cache comes back
// bound to that object's copy, whichever of the two they reach first.
#include <thread>

#include "core/cache.hpp"
#include "core/dict_access.hpp"
#include "core/node_reuse.hpp"
#include "core/recency_list.hpp"
#include "core/recursion_guard.hpp"
#include "core/ref.hpp"
#include "methods/methods.hpp"

namespace ivro {

namespace {

constexpr Py_ssize_t state_length = 6;

Py_ssize_t listed_count(const Cache *c) {
  Py_ssize_t n = 0;
  for (const Node *node = c->oldest; node != nullptr; node = node->newer) ++n;
  return n;
}

// The tuple of entries once the list has `n` of them, or null: with an
// error set, or without one when the list changed length meanwhile.
PyObject *fill_entries(const Cache *c, Py_ssize_t n, Py_ssize_t *pinned) {
  Ref<> entries = Ref<>::steal(PyTuple_New(2 * n));
  if (!entries) return nullptr;
  Py_ssize_t i = 0;
  bool leading = true;
  *pinned = 0;
  const Node *node = c->oldest;
  // GCOVR_EXCL_BR_START: the list's length changes only as below
  for (; node != nullptr && i < 2 * n; node = node->newer, i += 2) {
    // GCOVR_EXCL_BR_STOP
    if (leading && node_state(node) != NodeState::listed) {
      ++*pinned;
    } else {
      leading = false;
    }
    PyTuple_SET_ITEM(entries.get(), i, Py_NewRef(node_key(node)));
    PyTuple_SET_ITEM(entries.get(), i + 1, Py_NewRef(node->value));
  }
  // GCOVR_EXCL_START: only a collection that lets another thread in mid-snapshot gets here
  if (node != nullptr || i != 2 * n) return nullptr;
  // GCOVR_EXCL_STOP
  return entries.release();
}

// Entries from the oldest end on, and how many of them in a row are pinned
// (stuck, or being evicted right now). The walk and the allocations run no
// Python code, so the snapshot shows the cache at one moment. The entries
// are counted on the list, which is what the walk reads: on the
// interpreters whose dict can count a store that failed (dict_access.hpp),
// the dictionary's size may be one too high.
//
// Without the GIL, other threads may hold off that moment. A removal whose
// dictionary operation had to wait for a lock (dict_access.hpp) has its
// entry out of the dictionary but still on the list, and insertions made
// meanwhile counted it as gone: a snapshot then would show more entries
// than the cache ever held at once. So while the list is longer than the
// dictionary the snapshot lets other threads finish before it looks again.
// The tuple's allocation may also let the collector run code that gives up
// the cache's lock for a moment; a list that changed length meanwhile is
// read again too, rather than written past the tuple or left with holes.
PyObject *snapshot_entries(const Cache *c, Py_ssize_t *pinned) {
  constexpr int tries = 1000;
  for (int attempt = 1;; ++attempt) {
    Py_ssize_t n = listed_count(c);
#ifdef Py_GIL_DISABLED
    // GCOVR_EXCL_START: only another thread's removal caught waiting for a lock
    if (n > PyDict_GET_SIZE(c->key_map) && attempt < tries) {
      Py_BEGIN_ALLOW_THREADS;
      std::this_thread::yield();
      Py_END_ALLOW_THREADS;
      continue;
    }
    // GCOVR_EXCL_STOP
#endif
    PyObject *entries = fill_entries(c, n, pinned);
    // GCOVR_EXCL_BR_START: the list changes length only as above
    if (entries != nullptr || PyErr_Occurred()) return entries;
    // GCOVR_EXCL_BR_STOP
    // GCOVR_EXCL_START: as above
    if (attempt >= tries) {
      PyErr_SetString(PyExc_RuntimeError, "IVRO changed size while it was pickled");
      return nullptr;
    }
    // GCOVR_EXCL_STOP
  }
}

struct State {
  Py_ssize_t size = 0;
  PyObject *callback = nullptr;  // borrowed from the state; null for none
  uint64_t hits = 0;
  uint64_t misses = 0;
  Py_ssize_t stuck = 0;
  PyObject *entries = nullptr;  // borrowed from the state
};

// Checks the whole state before anything changes. Runs no Python code:
// only exact ints and tuples are read, and an int subclass is still read
// as the int it holds.
bool parse_state(PyObject *state, State *out) {
  if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != state_length) {
    PyErr_SetString(PyExc_TypeError,
                    "state must be a tuple (size, callback, hits, misses, stuck, entries)");
    return false;
  }
  out->size = PyLong_AsSsize_t(PyTuple_GET_ITEM(state, 0));
  if (out->size == -1 && PyErr_Occurred()) return false;
  if (out->size <= 0) {
    PyErr_SetString(PyExc_ValueError, "Size should be a positive number");
    return false;
  }
  out->callback = PyTuple_GET_ITEM(state, 1);
  if (out->callback == Py_None) {
    out->callback = nullptr;
  } else if (!PyCallable_Check(out->callback)) {
    PyErr_SetString(PyExc_TypeError, "parameter must be callable");
    return false;
  }
  out->hits = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(state, 2));
  if (out->hits == static_cast<uint64_t>(-1) && PyErr_Occurred()) return false;
  out->misses = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(state, 3));
  if (out->misses == static_cast<uint64_t>(-1) && PyErr_Occurred()) return false;
  out->entries = PyTuple_GET_ITEM(state, 5);
  if (!PyTuple_Check(out->entries) || PyTuple_GET_SIZE(out->entries) % 2 != 0) {
    PyErr_SetString(PyExc_TypeError, "entries must be a tuple of keys and values in turn");
    return false;
  }
  out->stuck = PyLong_AsSsize_t(PyTuple_GET_ITEM(state, 4));
  if (out->stuck == -1 && PyErr_Occurred()) return false;
  if (out->stuck < 0 || out->stuck > PyTuple_GET_SIZE(out->entries) / 2) {
    PyErr_SetString(PyExc_ValueError, "stuck must count entries of the state");
    return false;
  }
  return true;
}

// A key the state holds twice (two keys that were different when the
// snapshot was taken may be equal once copied) is stored as an assignment
// would store it: the first key object stays, with the later value, as an
// ordinary entry and the newest one.
void restore_duplicate(Cache *c, Node *found, PyObject *value) {
  Ref<> old_value = Ref<>::steal(found->value);
  found->value = Py_NewRef(value);
  detach_node(c, found);
  link_at_newest(c, found);
  // Released last, once the entry is in its place: this may run a finaliser.
}

// Puts a restored entry among the stuck: just above `below`, the one
// restored before it, while that one is still stuck here (code run by
// hashing may have changed the cache), else at the oldest end.
void place_stuck(Cache *c, Node *n, Node *below) {
  if (below == nullptr || !is_linked(c, below) || node_state(below) != NodeState::stuck) {
    relink_node(c, n, true);
    return;
  }
  link_above(c, below, n);
  if (c->pinned == below) c->pinned = n;
  set_node_state(n, NodeState::stuck);
  ++c->pinned_count;
  ++c->stuck_count;
}

// Stores one entry of a state without counting it, refreshing any other
// entry, evicting or calling the callback: at the newest end, or among
// the stuck (see place_stuck) with `stuck`. Like an insertion it goes
// through PyDict_SetDefault, which never overwrites a node, and starts
// again on the new dictionary if hashing the key emptied the cache. The
// new node is handed back in *stored (borrowed; null for a duplicate). 0,
// or -1 with the error set and the entries before it kept.
int restore_entry(Cache *c, PyObject *key, PyObject *value, bool stuck, Node *below,
                  Node **stored) {
  *stored = nullptr;
  Node *fresh = nullptr;
  while (true) {
    fresh = take_blank_node(c);
    if (fresh == nullptr) return -1;
    MapHold map(c);
    PyObject *held = PyDict_SetDefault(map.get(), key, as_object(fresh));
    if (held == as_object(fresh)) {
      set_node_key(fresh, Py_NewRef(key));
      fresh->value = Py_NewRef(value);
      // GCOVR_EXCL_START: only an interpreter whose dict misreports a
      // failed store, out of memory; the record is left to that dict, as
      // an insertion leaves it (see keyed_access.cpp).
      if (setdefault_lied()) return -1;
      // GCOVR_EXCL_STOP
      if (map.current()) break;
      // GCOVR_FT_EXCL_START: without the GIL an emptying keeps the dictionary (MapHold)
      // Stored just as the cache was emptied: never an entry (see NodeState).
      set_node_state(fresh, NodeState::orphan);
      Py_DECREF(fresh);
      continue;
      // GCOVR_FT_EXCL_STOP
    }
    park_blank_node(c, fresh);
    if (held == nullptr) return -1;
    if (map.current()) {
      restore_duplicate(c, reinterpret_cast<Node *>(held), value);
      return 0;
    }
    // GCOVR_FT_EXCL_START: without the GIL an emptying keeps the dictionary (MapHold)
  }
  // GCOVR_FT_EXCL_STOP
  keep_untracked(c, key);
  if (stuck) {
    place_stuck(c, fresh, below);
  } else {
    link_at_newest(c, fresh);
  }
  *stored = fresh;
  Py_DECREF(fresh);  // the dictionary holds it
  return 0;
}

}  // namespace

PyObject *cache_reduce(PyObject *self, PyObject *) {
  Cache *c = as_cache(self);
  if (!require_initialised(c)) return nullptr;
  Py_ssize_t pinned = 0;
  Ref<> entries = Ref<>::steal(snapshot_entries(c, &pinned));
  if (!entries) return nullptr;
  Ref<> size = Ref<>::steal(PyLong_FromSsize_t(c->size));
  if (!size) return nullptr;
  Ref<> hits = Ref<>::steal(PyLong_FromUnsignedLongLong(c->hits));
  if (!hits) return nullptr;
  Ref<> misses = Ref<>::steal(PyLong_FromUnsignedLongLong(c->misses));
  if (!misses) return nullptr;
  Ref<> stuck = Ref<>::steal(PyLong_FromSsize_t(pinned));
  if (!stuck) return nullptr;
  PyObject *callback = c->callback != nullptr ? c->callback : Py_None;
  Ref<> state = Ref<>::steal(PyTuple_Pack(state_length, size.get(), callback, hits.get(),
                                          misses.get(), stuck.get(), entries.get()));
  if (!state) return nullptr;
  Ref<> args = Ref<>::steal(PyTuple_Pack(1, size.get()));
  if (!args) return nullptr;
  return PyTuple_Pack(3, as_object(&CacheType), args.get(), state.get());
}

// Entries that were pinned in the snapshot (stuck, or being evicted while
// it was taken) have been reported: they come back stuck, so that they do
// not count against the size and leave without a second report.
PyObject *cache_setstate(PyObject *self, PyObject *state) {
  Cache *c = as_cache(self);
  if (!require_initialised(c)) return nullptr;
  State s;
  if (!parse_state(state, &s)) return nullptr;
  // Hashing the keys runs Python code, which may drop every other
  // reference to the state.
  Ref<> hold = Ref<>::borrow(state);
  // The old entries and callback go last, once the new ones are in: their
  // finalisers may use the cache.
  Ref<> old_entries;
  if (replace_key_map(c, old_entries) < 0) return nullptr;
  c->size = s.size;
  c->hits = s.hits;
  c->misses = s.misses;
  Ref<> old_callback = Ref<>::steal(exchange_callback(c, Py_XNewRef(s.callback)));
  // Oldest first, so that the dictionary receives the keys in recency
  // order. The last stuck entry is held: the next one goes above it.
  Ref<Node> last_stuck;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(s.entries) / 2; ++i) {
    Node *stored = nullptr;
    if (restore_entry(c, PyTuple_GET_ITEM(s.entries, 2 * i), PyTuple_GET_ITEM(s.entries, 2 * i + 1),
                      i < s.stuck, last_stuck.get(), &stored) < 0) {
      return nullptr;
    }
    if (stored != nullptr && i < s.stuck) last_stuck = Ref<Node>::borrow(stored);
  }
  // An insertion made meanwhile by code that hashing ran (a key's __eq__,
  // another thread) met a cache still short of its entries and evicted
  // nothing: what the cache now holds beyond its size is that insertion's
  // to evict, as after any insertion. A state over its own size (taken
  // while a shrink was evicting) stays whole.
  if (PyTuple_GET_SIZE(s.entries) / 2 - s.stuck <= s.size && surplus(c) > 0) {
    RecursionGuard guard;
    if (!guard.reserve(c) || evict_surplus(c, nullptr, false, guard.reserved()) < 0) {
      return nullptr;
    }
  }
  Py_RETURN_NONE;
}

PyObject *cache_class_getitem(PyObject *cls, PyObject *item) { return Py_GenericAlias(cls, item); }

}  // namespace ivro
