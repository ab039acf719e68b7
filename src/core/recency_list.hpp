// The intrusive recency list, newest to oldest. None of these touches the
// dictionary, a counter or a reference count, and none runs Python code.
#pragma once

#include "core/cache.hpp"

namespace ivro {

inline bool is_linked(const Cache *c, const Node *n) noexcept {
  return n->newer != nullptr || n->older != nullptr || c->newest == n;
}

inline void unlink_node(Cache *c, Node *n) noexcept {
  if (c->newest == n) c->newest = n->older;
  if (c->oldest == n) c->oldest = n->newer;
  if (n->newer) n->newer->older = n->older;
  if (n->older) n->older->newer = n->newer;
  n->newer = nullptr;
  n->older = nullptr;
}

inline void link_at_newest(Cache *c, Node *n) noexcept {
  n->newer = nullptr;
  if (c->newest == nullptr) {
    c->newest = c->oldest = n;
    n->older = nullptr;
  } else {
    n->older = c->newest;
    c->newest->newer = n;
    c->newest = n;
  }
}

inline void link_at_oldest(Cache *c, Node *n) noexcept {
  n->older = nullptr;
  if (c->oldest == nullptr) {
    c->newest = c->oldest = n;
    n->newer = nullptr;
  } else {
    n->newer = c->oldest;
    c->oldest->older = n;
    c->oldest = n;
  }
}

inline void move_to_newest(Cache *c, Node *n) noexcept {
  if (c->newest == n) return;
  unlink_node(c, n);
  link_at_newest(c, n);
}

inline void move_to_oldest(Cache *c, Node *n) noexcept {
  if (c->oldest == n) return;
  unlink_node(c, n);
  link_at_oldest(c, n);
}

void release_all_links(Cache *c) noexcept;

}  // namespace ivro
