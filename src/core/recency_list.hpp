// The intrusive recency list, newest to oldest. None of these touches the
// dictionary or a reference count, and none runs Python code.
//
// The oldest end of the list is the pinned block: entries that no eviction
// may choose (their eviction is under way, or they were reported and their
// removal failed). It runs from `c->pinned` down to `c->oldest`; stuck
// entries gather at the very oldest end of it. Keeping them all in one
// block makes choosing the next victim O(1) however many evictions nest.
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

// Links a detached node just newer than `below`, or at the oldest end when
// `below` is null.
inline void link_above(Cache *c, Node *below, Node *n) noexcept {
  n->older = below;
  n->newer = below ? below->newer : c->oldest;
  if (n->newer) {
    n->newer->older = n;
  } else {
    c->newest = n;
  }
  if (below) {
    below->newer = n;
  } else {
    c->oldest = n;
  }
}

// Refreshes an entry. Pinned entries stay where they are: they are leaving,
// or were reported already and must not come up for eviction again.
inline void move_to_newest(Cache *c, Node *n) noexcept {
  Node *top = c->newest;
  if (top == n || node_state(n) != NodeState::listed) return;
  // Every lookup of a hit comes here, so the general unlink and link are
  // spelt out for this case: `n` is linked and not the newest, so it has a
  // newer neighbour and the list has a newest entry.
  Node *newer = n->newer;
  Node *older = n->older;
  newer->older = older;
  if (older != nullptr) {
    older->newer = newer;
  } else {
    c->oldest = newer;
  }
  n->older = top;
  n->newer = nullptr;
  top->newer = n;
  c->newest = n;
}

// The entry the next eviction takes, or null.
inline Node *oldest_evictable(const Cache *c) noexcept {
  return c->pinned ? c->pinned->newer : c->oldest;
}

// Marks a listed entry as being evicted, moving it to the top of the pinned
// block (it is usually there already: victims are the oldest evictable).
inline void pin_victim(Cache *c, Node *n) noexcept {
  if (n != oldest_evictable(c)) {
    unlink_node(c, n);
    link_above(c, c->pinned, n);
  }
  c->pinned = n;
  set_node_state(n, NodeState::evicting);
  ++c->pinned_count;
}

// An entry being evicted whose removal failed: it stays, at the oldest end.
inline void make_stuck(Cache *c, Node *n) noexcept {
  if (c->pinned == n) c->pinned = n->older;
  unlink_node(c, n);
  link_above(c, nullptr, n);
  if (c->pinned == nullptr) c->pinned = n;
  set_node_state(n, NodeState::stuck);
  ++c->stuck_count;
}

// After a failed retry of the oldest stuck entry, lets the others have
// their turn: it moves to the newest end of the stuck entries.
inline void rotate_stuck(Cache *c) noexcept {
  Node *s = c->oldest;
  Node *top = s;
  while (top->newer && node_state(top->newer) == NodeState::stuck) top = top->newer;
  if (top == s) return;
  unlink_node(c, s);
  link_above(c, top, s);
  if (c->pinned == top) c->pinned = s;
}

// Takes any linked entry off the list, keeping the pinned block and its
// counts right. Returns the state it had; the node is listed afterwards.
inline NodeState detach_node(Cache *c, Node *n) noexcept {
  NodeState state = node_state(n);
  if (state != NodeState::listed) {
    if (c->pinned == n) c->pinned = n->older;
    --c->pinned_count;
    if (state == NodeState::stuck) --c->stuck_count;
    set_node_state(n, NodeState::listed);
  }
  unlink_node(c, n);
  return state;
}

// Puts a detached entry back: an ordinary one at the newest end, one whose
// value was reported already among the stuck entries, for a later eviction
// to remove without telling anyone again.
inline void relink_node(Cache *c, Node *n, bool reported) noexcept {
  if (!reported) {
    link_at_newest(c, n);
    return;
  }
  link_above(c, nullptr, n);
  if (c->pinned == nullptr) c->pinned = n;
  set_node_state(n, NodeState::stuck);
  ++c->stuck_count;
  ++c->pinned_count;
}

// Detaches every node (the dictionary is the caller's business) and
// forgets the pinned block.
void release_all_links(Cache *c) noexcept;

}  // namespace ivro
