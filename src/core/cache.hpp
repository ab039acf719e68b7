// The cache object and the small amount of bookkeeping that lets arbitrary
// Python code (callbacks, __hash__, __eq__, finalisers, other threads) run in
// the middle of an operation without breaking it.
#pragma once

#include <Python.h>
#include <cstdint>

#include "core/node.hpp"

namespace ivro {

struct EvictionMark;

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

  // Evictions in progress (their callbacks are running). Each mark lives on
  // the stack of the call that is evicting; a nested or concurrent eviction
  // skips marked entries so that no entry is reported twice.
  EvictionMark *evicting;
  Py_ssize_t evicting_count;
  // One detached node kept for reuse, so that a replacement or an
  // insertion that evicts needs no allocation. Owned; key and value null.
  Node *spare;
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

// Empties the dictionary (releasing every node) and leaves it in a state in
// which an insertion interrupted by the clear still completes correctly.
void clear_key_map(Cache *c) noexcept;

// Lifecycle slots.
int cache_init(PyObject *self, PyObject *args, PyObject *kwds);
void cache_dealloc(PyObject *self);
Py_ssize_t cache_length(PyObject *self);

// Node allocation with reuse. A blank node has no key, no value and no
// links. `take_blank_node` returns a new reference to one, or null with
// MemoryError set; `park_blank_node` takes one back. `discard_node` takes
// over a reference to a node that is neither in the dictionary nor on the
// list, releasing its key and value.
Node *take_blank_node(Cache *c) noexcept;
void park_blank_node(Cache *c, Node *node) noexcept;
void discard_node(Cache *c, Node *node) noexcept;

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

// Eviction. Evicts least recently used entries while the cache holds more
// than `size` entries beyond those already being evicted. `keep` (may be
// null) is never chosen. Callback exceptions are kept aside until the loop
// ends; a failed removal stops it. Returns 0, or -1 with the first error set.
int evict_surplus(Cache *c, Node *keep);

}  // namespace ivro
