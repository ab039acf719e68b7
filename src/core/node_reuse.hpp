// Node records with reuse: each cache keeps one detached record aside, so
// that a replacement or an insertion that evicts allocates nothing. Inline,
// since every assignment passes through here.
#pragma once

#include "core/cache.hpp"

namespace ivro {

// A fresh record with no key, no value and no links; null with
// MemoryError set.
Node *new_blank_node() noexcept;

// A new reference to a blank record, or null with MemoryError set.
inline Node *take_blank_node(Cache *c) noexcept {
  Node *n = c->spare;
  if (n == nullptr) return new_blank_node();
  c->spare = nullptr;
  return n;
}

// Takes back a blank record that take_blank_node handed out.
inline void park_blank_node(Cache *c, Node *node) noexcept {
  if (c->spare == nullptr) {
    c->spare = node;
  } else {
    Py_DECREF(node);
  }
}

// Takes over a reference to a record that is neither in the dictionary nor
// on the list, releasing its key and value.
inline void discard_node(Cache *c, Node *node) noexcept {
  if (Py_REFCNT(node) != 1 || c->spare != nullptr) {
    Py_DECREF(node);
    return;
  }
  // Keep the record for the next insertion. It is parked before the key and
  // value go, since their finalisers may insert into this cache.
  PyObject *key = node_key(node);
  PyObject *value = node->value;
  set_node_key(node, nullptr);
  node->value = nullptr;
  c->spare = node;
  Py_XDECREF(key);
  Py_XDECREF(value);
}

}  // namespace ivro
