// The entry record: one object per entry serves both as the dictionary's
// value and as the cell of the recency list.
#pragma once

#include <Python.h>
#include <cstdint>

namespace ivro {

// Where an entry stands with respect to eviction. Every entry that is not
// `listed` sits in the pinned block at the oldest end of the recency list
// (see recency_list.hpp), out of reach of further evictions.
enum class NodeState : uintptr_t {
  listed = 0,    // an ordinary entry, evictable in recency order
  evicting = 1,  // chosen as a victim; its callback is running
  stuck = 2,     // reported, but its key could not remove it
  // Never an entry: stored into a dictionary that the cache had let go of
  // while the store was under way (a key's code emptied the cache). An
  // operation still probing that dictionary counts as done before the
  // emptying, so it must not find what was stored after it.
  orphan = 3,
};

struct Node {
  PyObject_HEAD
  PyObject *value;  // owned
  // The key (owned; never changes while the node is in a cache), offset by
  // the node's state, 0 to 3, which object alignment leaves room for. A
  // field of its own would take the record past 48 bytes.
  PyObject *key_tagged;
  Node *newer;  // not a reference; null for the newest entry
  Node *older;  // not a reference; null for the oldest entry
};

// The whole record must stay at the object header and four words: it is
// the only memory an entry costs beyond the dictionary's own slot. That is
// 48 bytes on 64-bit builds with the GIL, and 64 on free-threaded ones,
// whose object header carries an owning thread, a lock and two counts.
static_assert(sizeof(Node) == sizeof(PyObject) + 4 * sizeof(void *), "Node grew");
#ifndef Py_GIL_DISABLED
static_assert(sizeof(void *) != 8 || sizeof(Node) == 48, "Node grew");
#endif
static_assert(alignof(PyObject) >= 4, "no room for the state bits");

inline constexpr uintptr_t node_state_mask = 3;

inline uintptr_t node_tag(const Node *n) noexcept {
  return reinterpret_cast<uintptr_t>(n->key_tagged) & node_state_mask;
}
// Offsets within the key object rather than integers turned back into
// pointers, so the compiler keeps track of what the pointer points to.
inline PyObject *node_key(const Node *n) noexcept {
  return reinterpret_cast<PyObject *>(reinterpret_cast<char *>(n->key_tagged) - node_tag(n));
}
inline NodeState node_state(const Node *n) noexcept { return static_cast<NodeState>(node_tag(n)); }
// Takes over a reference to `key` (null allowed); the state becomes listed.
inline void set_node_key(Node *n, PyObject *key) noexcept { n->key_tagged = key; }
inline void set_node_state(Node *n, NodeState s) noexcept {
  n->key_tagged = reinterpret_cast<PyObject *>(reinterpret_cast<char *>(node_key(n)) +
                                               static_cast<uintptr_t>(s));
}

extern PyTypeObject NodeType;

void node_dealloc(PyObject *self);
PyObject *node_repr(PyObject *self);

}  // namespace ivro
