// The cache object and the small amount of bookkeeping that lets arbitrary
// Python code (callbacks, __hash__, __eq__, finalisers, other threads) run in
// the middle of an operation without breaking it.
#pragma once

#include <Python.h>
#include <cstdint>

#include "core/node.hpp"
#include "core/ref.hpp"

namespace ivro {

struct Cache {
  PyObject_HEAD
  PyObject *key_map;  // dict: key -> Node; null until the first __init__
  Node *newest;       // not a reference
  Node *oldest;       // not a reference
  Py_ssize_t size;
  // 64-bit on every platform: a 32-bit counter would wrap in a long-running
  // service.
  uint64_t hits;
  uint64_t misses;
  PyObject *callback;  // owned, or null
  // Whether evictions through this callback must count as a level of
  // recursion themselves (see RecursionGuard).
  bool callback_counts;

  // The pinned block: the entries at the oldest end of the list that no
  // eviction may choose, because one is already evicting them or because
  // their removal failed after they were reported. `pinned` is the newest
  // of them (null when there are none); the block runs from there to
  // `oldest`, so the next victim is always `pinned->newer` (or `oldest`)
  // however many evictions are in flight.
  Node *pinned;
  Py_ssize_t pinned_count;
  Py_ssize_t stuck_count;  // those of the pinned whose removal failed
  // One detached node kept for reuse, so that a replacement or an
  // insertion that evicts needs no allocation. Owned; key and value null.
  Node *spare;
#ifdef Py_GIL_DISABLED
  // Removals by a caller's key (pop, del) whose dictionary operation is
  // under way; one may be suspended half done (RemovalUnderWay).
  Py_ssize_t removals_under_way;
#endif
};

extern PyTypeObject CacheType;

inline Cache *as_cache(PyObject *self) noexcept { return reinterpret_cast<Cache *>(self); }

// Every operation starts here: a cache made by IVRO.__new__ without
// __init__ has no dictionary, and nothing may touch it.
bool require_initialised(Cache *c) noexcept;

// The dictionary must never be reachable from Python code: through the
// garbage collector (gc.get_referrers of a key) anyone could clear it and
// free nodes that are still on the list. A dict starts untracked and is
// tracked again only when it stores an object the collector follows. (The
// type's flag is checked, not PyObject_IS_GC, which is a call on 3.13: a
// rare extra untrack is cheaper than a call on every insertion.)
inline void keep_untracked(Cache *c, PyObject *stored_key) noexcept {
  if (PyType_IS_GC(Py_TYPE(stored_key))) PyObject_GC_UnTrack(c->key_map);
}

// Entries beyond the capacity, not counting those already on their way out
// or past removing.
inline Py_ssize_t surplus(const Cache *c) noexcept {
  return PyDict_GET_SIZE(c->key_map) - c->pinned_count - c->size;
}

// Empties the cache by giving it a new, empty dictionary and releasing the
// old one. The old one is never cleared in place: an operation further up
// the stack may be inside one of its lookups (a key's __eq__ or a finaliser
// called clear), and it holds the old dictionary through a MapHold until it
// is done. (Without the GIL the dictionary is the cache's lock and must
// stay: there it is emptied in place, its nodes moved out to a list.) What
// held the old entries is handed to the caller in `old`, to release once
// the cache is consistent again: that runs the old entries' finalisers,
// which may use the cache. -1 with MemoryError set if no memory can be had:
// nothing changed then if `old` is empty; otherwise (without the GIL) the
// cache is empty all the same, its old entries in `old`.
int replace_key_map(Cache *c, Ref<> &old) noexcept;

// The dictionary an operation probes, held for as long as the operation
// uses what the probe found. Code that runs during a probe (a key's
// __hash__ or __eq__, a finaliser) may clear or re-initialise the cache,
// which swaps the dictionary; `current()` then says that what the probe
// found belongs to the old one and must not touch the recency list. Such an
// operation took effect just before the swap.
class MapHold {
 public:
#ifdef Py_GIL_DISABLED
  // The dictionary is never replaced there (see locking.hpp), and the cache
  // outlives its operations: no reference of its own is needed.
  explicit MapHold(Cache *c) noexcept : map_(c->key_map) {}
  PyObject *get() const noexcept { return map_; }
  // No user code runs inside a dictionary operation once it has found or
  // changed an entry, and emptying the cache empties this very dictionary:
  // what an operation found or changed is in the cache as it is now.
  bool current() const noexcept { return true; }
#else
  explicit MapHold(Cache *c) noexcept : cache_(c), map_(Py_NewRef(c->key_map)) {}
  ~MapHold() { Py_DECREF(map_); }
  PyObject *get() const noexcept { return map_; }
  bool current() const noexcept { return cache_->key_map == map_; }
#endif
  MapHold(const MapHold &) = delete;
  MapHold &operator=(const MapHold &) = delete;

 private:
#ifndef Py_GIL_DISABLED
  Cache *cache_;
#endif
  PyObject *map_;
};

// Lifecycle slots.
int cache_init(PyObject *self, PyObject *args, PyObject *kwds);
void cache_dealloc(PyObject *self);
Py_ssize_t cache_length(PyObject *self);

// Keyed access.
PyObject *counted_lookup(PyObject *self, PyObject *key);
int assign_entry(PyObject *self, PyObject *key, PyObject *value);

// The single lookup behind both assignment and setdefault: inserts `key`
// with `value` as the newest entry (evicting as needed) unless the key is
// present, in which case the existing node is handed back in *found,
// borrowed and valid until Python code next runs. With `count`, an
// insertion counts a miss before anything is evicted.
enum class Upsert { failed, found, inserted, inserted_but_raised };
Upsert insert_or_find(Cache *c, PyObject *key, PyObject *value, Node **found, bool count);
// Takes the entry for `key` out of the dictionary and off the list. Returns
// 1 with a new reference to its node in *out, 0 when the key is absent (no
// error set), -1 on error (the cache is unchanged).
int remove_entry(Cache *c, PyObject *key, Node **out);
void set_key_error(PyObject *key);

// Eviction. Evicts least recently used entries while the cache holds a
// surplus, after another try at removing one stuck entry (every one with
// `retry_all`). `keep` (may be null) is never chosen. `room_reserved`: the
// operation made sure that the callback can be called (RecursionGuard), so
// each eviction need not check again. Callback exceptions are kept aside
// until the loop ends; a failed removal stops it. Returns 0, or -1 with the
// first error set.
int evict_surplus(Cache *c, Node *keep, bool retry_all = false, bool room_reserved = false);

// An error that an operation can answer for itself (a miss, a failed
// retry) rather than pass on: any Exception but MemoryError. Ctrl-C,
// SystemExit and running out of memory always reach the caller.
bool pending_error_is_ordinary() noexcept;

// Installs `callback` (a new reference, or null) and returns the previous
// one, for the caller to release once the cache is consistent.
PyObject *exchange_callback(Cache *c, PyObject *callback) noexcept;

}  // namespace ivro
