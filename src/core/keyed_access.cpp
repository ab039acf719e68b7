// c[key], c[key] = value and del c[key].
//
// The dictionary is only ever changed in ways that cannot drop a node that
// is still on the recency list: insertion goes through PyDict_SetDefault,
// which never overwrites an existing node (a key's __eq__ may insert the
// same key while the store is looking for it), and every removal hands the
// removed node back so that it is unlinked before it is released. Each
// probe holds its dictionary (MapHold): a probe that finds the cache's
// dictionary replaced when it returns took effect before the replacement,
// and leaves the recency list alone.
#include "core/cache.hpp"
#include "core/dict_access.hpp"
#include "core/node_reuse.hpp"
#include "core/recency_list.hpp"
#include "core/recursion_guard.hpp"
#include "core/ref.hpp"

namespace ivro {

void set_key_error(PyObject *key) {
  // Wrapped in a tuple so that a tuple key is not taken as the argument list.
  PyObject *args = PyTuple_Pack(1, key);
  if (args == nullptr) return;
  PyErr_SetObject(PyExc_KeyError, args);
  Py_DECREF(args);
}

PyObject *counted_lookup(PyObject *self, PyObject *key) {
  Cache *c = as_cache(self);
  if (!require_initialised(c)) return nullptr;
  MapHold map(c);
  PyObject *found = nullptr;
  int r = dict_find(map.get(), key, &found);
  // No Python code has run since the lookup returned.
  Node *n = reinterpret_cast<Node *>(found);
  if (r > 0 && !map.current() && node_state(n) == NodeState::orphan) r = 0;
  if (r <= 0) {
    ++c->misses;
    if (r == 0) set_key_error(key);
    return nullptr;
  }
  if (map.current()) move_to_newest(c, n);
  ++c->hits;
  return Py_NewRef(n->value);
}

int remove_entry(Cache *c, PyObject *key, Node **out) {
  RemovalUnderWay under_way(c);
  MapHold map(c);
  PyObject *removed = nullptr;
  int r = dict_take(map.get(), key, &removed);
  if (r <= 0) return r;
  Node *n = reinterpret_cast<Node *>(removed);
  if (map.current()) {
    detach_node(c, n);
    // GCOVR_FT_EXCL_START: without the GIL an emptying keeps the dictionary (MapHold)
  } else if (node_state(n) == NodeState::orphan) {
    // Stored after the emptying this removal counts as preceding: not an
    // entry, and out of every dictionary now.
    Ref<Node> orphan = Ref<Node>::steal(n);
    return 0;
  }
  // GCOVR_FT_EXCL_STOP
  *out = n;
  return 1;
}

// Replacement: the key keeps its first key object and its place in the
// dictionary; only the value and the recency change.
static void replace_value(Cache *c, Node *existing, PyObject *value) {
  PyObject *old_value = existing->value;
  existing->value = Py_NewRef(value);
  move_to_newest(c, existing);
  // Last, once the node is in its final place: this may run a finaliser.
  Py_DECREF(old_value);
}

// An entry on its way out (its callback is running, from this thread or
// another) or stuck (reported, its removal failed) has had its value
// reported. A new value given to it has not been: the entry becomes an
// ordinary one again, the newest, and counts against the size once more,
// so the cache evicts what it holds beyond its size as after an insertion.
// The eviction under way finds it ordinary and leaves it. Removing it
// instead would take the new value away unreported, and reporting it again
// from the eviction would let a callback that keeps storing under its
// victim's key go on for ever.
static int revive_pinned(Cache *c, Node *pinned, PyObject *value) {
  RecursionGuard guard;
  if (!guard.reserve(c)) return -1;
  Ref<Node> hold = Ref<Node>::borrow(pinned);
  Ref<> old_value = Ref<>::steal(pinned->value);
  pinned->value = Py_NewRef(value);
  detach_node(c, pinned);
  link_at_newest(c, pinned);
  // The old value goes once the cache is within its size again.
  return surplus(c) > 0 ? evict_surplus(c, pinned, false, guard.reserved()) : 0;
}

// Near the recursion limit, a store into a full cache is refused only if
// it would insert: a key that is there already is replaced, and nothing is
// evicted. Found here, at the price of a lookup that only a refused store
// pays. Failed with the RecursionError otherwise (or with the key's own
// error, if its hash or comparison fails).
[[gnu::cold]] static Upsert found_or_refused(Cache *c, PyObject *key, Node **found) {
  Ref<> refusal = Ref<>::steal(PyErr_GetRaisedException());
  MapHold map(c);
  PyObject *node = nullptr;
  int r = dict_find(map.get(), key, &node);
  if (r < 0) return Upsert::failed;
  // Not found in the cache as it is now: an insertion after all.
  if (r == 0 || !map.current()) {
    PyErr_SetRaisedException(refusal.release());
    return Upsert::failed;
  }
  *found = reinterpret_cast<Node *>(node);
  return Upsert::found;
}

// One dictionary probe decides between replacement and insertion: a blank
// node is offered to PyDict_SetDefault, which either stores it or hands
// back the node already there. Nothing runs between the store and the
// filling of the node, so no one sees it blank; and SetDefault never
// overwrites, so a node that is still on the list is never dropped by the
// dictionary behind this cache's back (a key's __eq__ may insert the same
// key while the probe runs). A probe that met a clear (the key's __eq__
// emptied the cache) is done again on the new dictionary, as a plain
// dict's store ends up in the dict it emptied; a node handed back is
// always one of the current dictionary's.
// Inline here, so that an assignment (the hot path) pays no call for it.
static inline Upsert upsert(Cache *c, PyObject *key, PyObject *value, Node **found, bool count) {
  // An insertion into a full cache will call the callback: refused here,
  // before anything changes, if the interpreter would refuse that call.
  RecursionGuard guard;
  if (c->callback != nullptr && surplus(c) >= 0 && !guard.reserve(c)) {
    return found_or_refused(c, key, found);
  }
  Node *fresh = nullptr;
  while (true) {
    fresh = take_blank_node(c);
    if (fresh == nullptr) return Upsert::failed;
    MapHold map(c);
    PyObject *held = PyDict_SetDefault(map.get(), key, as_object(fresh));
    if (held == as_object(fresh)) {
      set_node_key(fresh, Py_NewRef(key));
      fresh->value = Py_NewRef(value);
      if (setdefault_lied()) {
        // Not stored, but the interpreter's dictionary may be inconsistent
        // now: the record is left to it, whole, rather than freed while
        // anything might still point to it. A leak is the lesser harm.
        return Upsert::failed;
      }
      if (map.current()) break;
      // GCOVR_FT_EXCL_START: without the GIL an emptying keeps the dictionary (MapHold)
      // Stored just as the cache was emptied: the old dictionary keeps it,
      // and whatever still probes that dictionary must not take it for an
      // entry.
      set_node_state(fresh, NodeState::orphan);
      Py_DECREF(fresh);
      continue;
      // GCOVR_FT_EXCL_STOP
    }
    park_blank_node(c, fresh);
    if (held == nullptr) return Upsert::failed;
    if (map.current()) {
      *found = reinterpret_cast<Node *>(held);
      return Upsert::found;
    }
    // GCOVR_FT_EXCL_START: without the GIL an emptying keeps the dictionary (MapHold)
  }
  // GCOVR_FT_EXCL_STOP
  keep_untracked(c, key);
  // Linked before any eviction, so that a callback already finds the new
  // entry where it belongs.
  link_at_newest(c, fresh);
  if (count) ++c->misses;
  int result = 0;
  if (surplus(c) > 0) result = evict_surplus(c, fresh, false, guard.reserved());
  Py_DECREF(fresh);
  return result < 0 ? Upsert::inserted_but_raised : Upsert::inserted;
}

Upsert insert_or_find(Cache *c, PyObject *key, PyObject *value, Node **found, bool count) {
  return upsert(c, key, value, found, count);
}

static int store_entry(Cache *c, PyObject *key, PyObject *value) {
  Node *found = nullptr;
  switch (upsert(c, key, value, &found, false)) {
    case Upsert::found:
      if (node_state(found) != NodeState::listed) return revive_pinned(c, found, value);
      replace_value(c, found, value);
      return 0;
    case Upsert::inserted:
      return 0;
    case Upsert::failed:
    case Upsert::inserted_but_raised:
      break;
  }
  return -1;
}

static int delete_entry(Cache *c, PyObject *key) {
  Node *n = nullptr;
  int r = remove_entry(c, key, &n);
  if (r < 0) return -1;
  if (r == 0) {
    set_key_error(key);
    return -1;
  }
  discard_node(c, n);
  return 0;
}

int assign_entry(PyObject *self, PyObject *key, PyObject *value) {
  Cache *c = as_cache(self);
  if (!require_initialised(c)) return -1;
  if (value == nullptr) return delete_entry(c, key);
  return store_entry(c, key, value);
}

}  // namespace ivro
