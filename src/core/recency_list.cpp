#include "core/recency_list.hpp"

namespace ivro {

void release_all_links(Cache *c) noexcept {
  Node *n = c->newest;
  while (n != nullptr) {
    Node *next = n->older;
    n->newer = nullptr;
    n->older = nullptr;
    set_node_state(n, NodeState::listed);
    n = next;
  }
  c->newest = nullptr;
  c->oldest = nullptr;
  c->pinned = nullptr;
  c->pinned_count = 0;
  c->stuck_count = 0;
}

}  // namespace ivro
