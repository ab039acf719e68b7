#include "core/recency_list.hpp"

namespace ivro {

void release_all_links(Cache *c) noexcept {
  Node *n = c->newest;
  while (n != nullptr) {
    Node *next = n->older;
    n->newer = nullptr;
    n->older = nullptr;
    n = next;
  }
  c->newest = nullptr;
  c->oldest = nullptr;
}

}  // namespace ivro
