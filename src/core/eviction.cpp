// Eviction of least recently used entries, and the callback that hears of
// each one.
//
// The callback is arbitrary code: it may read or change this cache, from
// this thread or (when it gives up the GIL) from others, evict recursively,
// clear the cache or replace itself. So each eviction holds its own
// references to the victim, its key and value, and the callback; marks the
// victim so that no other eviction reports it again; and afterwards removes
// the victim only if it is still in the cache.
#include "core/cache.hpp"
#include "core/recency_list.hpp"
#include "core/ref.hpp"

namespace ivro {

// Lives on the stack of the eviction that owns it, linked into the cache's
// list of evictions in progress for exactly as long as the victim is
// being reported and removed. Evictions on different threads finish in any
// order, hence the doubly linked list.
struct EvictionMark {
  EvictionMark(Cache *c, Node *v) noexcept : cache(c), victim(v), next(c->evicting) {
    if (next != nullptr) next->prev = this;
    c->evicting = this;
    ++c->evicting_count;
  }
  ~EvictionMark() {
    if (prev != nullptr) {
      prev->next = next;
    } else {
      cache->evicting = next;
    }
    if (next != nullptr) next->prev = prev;
    --cache->evicting_count;
  }
  EvictionMark(const EvictionMark &) = delete;
  EvictionMark &operator=(const EvictionMark &) = delete;

  Cache *cache;
  Node *victim;
  EvictionMark *prev = nullptr;
  EvictionMark *next;
};

static bool is_marked(const Cache *c, const Node *n) noexcept {
  for (const EvictionMark *m = c->evicting; m != nullptr; m = m->next) {
    if (m->victim == n) return true;
  }
  return false;
}

// The oldest entry that is neither `keep` nor already being evicted.
static Node *pick_victim(const Cache *c, const Node *keep) noexcept {
  for (Node *n = c->oldest; n != nullptr; n = n->newer) {
    if (n == keep) continue;
    if (c->evicting != nullptr && is_marked(c, n)) continue;
    return n;
  }
  return nullptr;
}

enum class Outcome { done, removal_failed };

// Puts back a node that a removal took by mistake (it takes over the
// caller's reference). Should the key have been taken yet again meanwhile,
// the newer entry wins, as with any later assignment.
static int restore_entry(Cache *c, Node *node) {
  Ref<Node> owned = Ref<Node>::steal(node);
  PyObject *held = PyDict_SetDefault(c->key_map, node->key, as_object(node));
  if (held == nullptr) return -1;
  if (held == as_object(node)) {
    keep_untracked(c, node->key);
    link_at_newest(c, node);
  }
  return 0;
}

static Outcome evict_node(Cache *c, Node *victim, DeferredError &errors) {
  Ref<Node> hold = Ref<Node>::borrow(victim);
  Node *gone = nullptr;
  {
    EvictionMark mark(c, victim);
    if (c->callback != nullptr) {
      Ref<> callback = Ref<>::borrow(c->callback);
      Ref<> key = Ref<>::borrow(victim->key);
      Ref<> value = Ref<>::borrow(victim->value);
      PyObject *args[2] = {key.get(), value.get()};
      Ref<> result = Ref<>::steal(PyObject_Vectorcall(callback.get(), args, 2, nullptr));
      if (!result) errors.capture(callback.get());
    }
    // The callback may have deleted the victim, cleared the cache or put a
    // new entry under the same key; only the victim itself is removed.
    if (is_linked(c, victim)) {
      Ref<> key = Ref<>::borrow(victim->key);
      int removed = remove_entry(c, key.get(), &gone);
      if (removed > 0 && gone != victim) {
        // The key found another entry: one put anew under the same key
        // while the victim's key was being hashed, or one whose key claims
        // to equal it. That entry was not chosen for eviction and goes back.
        removed = restore_entry(c, gone);
        gone = nullptr;
      }
      if (removed >= 0 && is_linked(c, victim)) {
        // Still here, yet its own key does not find it: the key's hash or
        // equality has changed since it was stored.
        PyErr_SetString(PyExc_KeyError,
                        "the least recently used key can no longer be found by its own hash "
                        "and equality; it stays in the cache");
        removed = -1;
      }
      if (removed < 0) {
        errors.capture(key.get());
        // It stays in the cache, oldest again; this operation evicts no
        // more, so a key that cannot be removed cannot make it spin.
        if (is_linked(c, victim)) move_to_oldest(c, victim);
        return Outcome::removal_failed;
      }
    }
  }
  // Unmarked, unlinked and out of the dictionary: the cache is consistent
  // again, so the victim's key and value may now run their finalisers.
  hold.reset();
  if (gone != nullptr) discard_node(c, gone);
  return Outcome::done;
}

int evict_surplus(Cache *c, Node *keep) {
  // Callbacks may drop every other reference to the cache.
  Ref<> self_hold = Ref<>::borrow(as_object(c));
  DeferredError errors;
  while (PyDict_GET_SIZE(c->key_map) - c->evicting_count > c->size) {
    Node *victim = pick_victim(c, keep);
    if (victim == nullptr) break;
    if (evict_node(c, victim, errors) == Outcome::removal_failed) break;
    // An insertion whose callback raised evicts no further: a callback that
    // inserts on every call would otherwise recurse anew for each victim.
    if (keep != nullptr && errors.any()) break;
  }
  return errors.raise();
}

}  // namespace ivro
