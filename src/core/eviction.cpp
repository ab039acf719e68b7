// Eviction of least recently used entries, and the callback that hears of
// each one.
//
// The callback is arbitrary code: it may read or change this cache, from
// this thread or (when it gives up the GIL) from others, evict recursively,
// clear the cache or replace itself. So each eviction holds its own
// references to the victim, its key and value, and the callback; pins the
// victim so that no other eviction chooses it; and afterwards removes the
// victim only if it is still in the cache.
//
// Every entry that leaves by eviction is reported exactly once: a victim
// whose removal fails is reported, stays as a stuck entry that later
// evictions pass by, and leaves silently when a later try succeeds. A
// victim given a new value meanwhile is an ordinary entry again (see
// revive_pinned): the eviction leaves it, since that value was never
// reported.
#include <utility>

#include "core/cache.hpp"
#include "core/dict_access.hpp"
#include "core/node_reuse.hpp"
#include "core/recency_list.hpp"
#include "core/recursion_guard.hpp"
#include "core/ref.hpp"

namespace ivro {

namespace {

// Tells the callback, if any, that `node` has left the cache. False when
// the callback raised.
bool report(Cache *c, Node *node, DeferredError &errors) {
  if (c->callback == nullptr) return true;
  Ref<> callback = Ref<>::borrow(c->callback);
  Ref<> key = Ref<>::borrow(node_key(node));
  Ref<> value = Ref<>::borrow(node->value);
  // A free slot before the arguments lets a bound method put its object
  // there instead of copying them.
  PyObject *args[3] = {nullptr, key.get(), value.get()};
  Ref<> result = Ref<>::steal(PyObject_Vectorcall(
      callback.get(), args + 1, size_t{2} | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (result) return true;
  errors.capture(callback.get());
  return false;
}

// Puts back an entry that a removal took by mistake: another one under the
// victim's key (put anew while the victim's key was hashed, or one whose
// key claims to equal it), or a stuck victim that was given a new value
// while its removal ran. It had no part in this eviction, so an ordinary
// entry stays ordinary. One that was reported already (being evicted, or
// stuck) comes back stuck: the eviction that reported it may have ended
// while it was out, its removal finding nothing, and as a stuck entry it
// still leaves, by that eviction if it is under way and otherwise by the
// next retry, and never unheard or twice heard. If it cannot stay (the
// put-back fails, or yet another entry holds the key by now) it has left
// by the hand of an eviction and is reported like any victim, unless that
// was done already.
void put_back(Cache *c, const MapHold &map, Ref<Node> &node, NodeState state,
              DeferredError &errors) {
  PyObject *held = PyDict_SetDefault(map.get(), node_key(node.get()), node.obj());
  bool lied = held == node.obj() && setdefault_lied();
  if (held == node.obj() && !lied) {
    if (map.current()) {
      keep_untracked(c, node_key(node.get()));
      relink_node(c, node.get(), state != NodeState::listed);
    } else {
      // GCOVR_FT_EXCL_START: without the GIL an emptying keeps the dictionary (MapHold)
      // The cache was emptied while it was out: gone with the rest.
      set_node_state(node.get(), NodeState::orphan);
      // GCOVR_FT_EXCL_STOP
    }
    return;
  }
  if (held == nullptr || lied) errors.capture(node_key(node.get()));
  if (state == NodeState::listed) report(c, node.get(), errors);
  // The interpreter's dictionary may still point to it: see setdefault_lied.
  if (lied) node.release();
}

// What follows a removal by the victim's own key (`r` and `gone` as
// dict_take left them) when it did not simply take the victim: the key
// found another entry, the victim revived as an ordinary entry, nothing, or
// failed. True when the victim has left (now, or earlier by other hands) or
// is no victim any more; false with an error set when it could not be
// removed and is still there. What the removal took stays in `gone`, for
// the caller to release once it holds nothing else of it.
//
// Another entry found first while the victim is still there has a key
// that claims to equal the victim's, or is an equal key held twice (a
// plain dict ends so when two threads store equal keys at once and a
// comparison lets the other run: each probe passes a free slot that the
// other then fills). The victim is usually next in line, so it is taken
// once more with that entry still out, and only then is the entry put
// back, as the one under its key. Putting it back first would find the
// victim there, evict an entry that was no victim and leave the victim
// stuck with an error.
bool settle_removal(Cache *c, Node *victim, const MapHold &map, int r, Ref<Node> &gone,
                    DeferredError &errors) {
  Ref<Node> aside;
  NodeState aside_state = NodeState::listed;
  bool revived = false;
  while (r > 0 && map.current()) {
    // A victim is pinned, as being evicted or stuck; one that is listed
    // again was given a new value while its key ran.
    revived = gone.get() == victim && node_state(victim) == NodeState::listed;
    NodeState state = detach_node(c, gone.get());
    if (gone.get() == victim && !revived) break;
    Ref<Node> other = std::move(gone);
    if (revived || aside || !is_linked(c, victim) || node_state(victim) == NodeState::listed) {
      put_back(c, map, other, state, errors);
      break;
    }
    aside = std::move(other);
    aside_state = state;
    PyObject *taken = nullptr;
    r = dict_take(map.get(), node_key(victim), &taken);
    gone = Ref<Node>::steal(reinterpret_cast<Node *>(taken));
  }
  if (!revived && r == 0 && is_linked(c, victim) && map.current()) {
    wait_for_removal_elsewhere(c, victim);
  }
  if (!revived && r >= 0 && is_linked(c, victim)) {
    // Still here, yet its own key does not find it: the key's hash or
    // equality has changed since it was stored.
    PyErr_SetString(PyExc_KeyError,
                    "the least recently used key can no longer be found by its own hash "
                    "and equality; it stays in the cache");
    r = -1;
  }
  if (r < 0 && !is_linked(c, victim) && pending_error_is_ordinary()) {
    // Gone all the same (removed, or the cache emptied, while its key was
    // being hashed): its removal has nothing left to report.
    PyErr_Clear();
    r = 0;
  }
  if (aside) {
    // The put-back runs the key's own code: the removal's error waits.
    Ref<> pending = Ref<>::steal(PyErr_GetRaisedException());
    put_back(c, map, aside, aside_state, errors);
    if (pending) PyErr_SetRaisedException(pending.release());
  }
  return revived || r >= 0;
}

// Removes `victim` (held by the caller, and so is its key: a node's key
// never changes while anyone holds the node) from the cache by its own key.
// Returns as settle_removal does.
bool remove_victim(Cache *c, Node *victim, Ref<Node> &gone, DeferredError &errors) {
  if (!is_linked(c, victim) || node_state(victim) == NodeState::listed) return true;
  MapHold map(c);
  RemovalKeyHold key_hold(node_key(victim));
  PyObject *taken = nullptr;
  int r = dict_take(map.get(), node_key(victim), &taken);
  gone = Ref<Node>::steal(reinterpret_cast<Node *>(taken));
  if (r > 0 && gone.get() == victim && map.current() && node_state(victim) != NodeState::listed) {
    detach_node(c, victim);
    return true;
  }
  return settle_removal(c, victim, map, r, gone, errors);
}

// The end of an eviction, once the removal of the victim (held in `hold`)
// has been tried.
void finish_eviction(Cache *c, Node *victim, Ref<Node> &hold, bool removed, Ref<Node> &gone,
                     DeferredError &errors) {
  if (!removed) {
    errors.capture(node_key(victim));
    // Reported already: it stays, out of reach of later evictions.
    if (is_linked(c, victim) && node_state(victim) == NodeState::evicting) {
      make_stuck(c, victim);
    }
    return;
  }
  // Out of the dictionary and off the list: the cache is consistent again,
  // so the victim's key and value may now run their finalisers, and its
  // record serves the next insertion.
  hold.reset();
  if (gone) discard_node(c, gone.release());
}

// How one eviction went, as far as the loop around it is concerned.
enum class Evicted {
  done,             // reported, and removed or stuck
  callback_raised,  // reported, and the callback raised
  refused,          // not even reported: see evict_node
};

// Refused, with the error kept in `errors`, when the interpreter would
// refuse to call the callback from here: the victim then stays, to be
// reported by a later eviction, and the operation evicts no further.
// (Operations check for room before they change anything; this is for a
// callback installed while one was under way.)
Evicted evict_node(Cache *c, Node *victim, bool room_reserved, DeferredError &errors) {
  if (c->callback != nullptr && !room_reserved && !callback_has_room()) {
    errors.capture(nullptr);
    return Evicted::refused;
  }
  Ref<Node> gone;
  Ref<Node> hold = Ref<Node>::borrow(victim);
  pin_victim(c, victim);
  bool told = report(c, victim, errors);
  // The callback may have deleted the victim, cleared the cache or stored a
  // new value under its key; only the victim itself is removed.
  bool removed = remove_victim(c, victim, gone, errors);
  finish_eviction(c, victim, hold, removed, gone, errors);
  return told ? Evicted::done : Evicted::callback_raised;
}

// The eviction an insertion needs most often: one victim, no callback to
// tell, nothing stuck to retry first. The same steps as evict_node's, less
// the bookkeeping that only a callback or a failure needs. 1 when the
// cache is within its size afterwards, 0 when the general loop must go on
// (a failed removal's error kept in `errors`).
int evict_quietly(Cache *c, Node *keep, DeferredError &errors) {
  Node *victim = oldest_evictable(c);
  if (victim != nullptr && victim == keep) victim = victim->newer;
  if (victim == nullptr) return 0;
  Ref<Node> hold = Ref<Node>::borrow(victim);
  pin_victim(c, victim);
  MapHold map(c);
  RemovalKeyHold key_hold(node_key(victim));
  PyObject *taken = nullptr;
  int r = dict_take(map.get(), node_key(victim), &taken);
  // Listed again means given a new value while its key was hashed: it
  // stays (settle_removal puts it back).
  if (r > 0 && taken == as_object(victim) && map.current() &&
      node_state(victim) != NodeState::listed) {
    detach_node(c, victim);
    hold.reset();
    discard_node(c, victim);
  } else {
    // Code run by the key's hash or equality changed the cache meanwhile.
    Ref<Node> gone = Ref<Node>::steal(reinterpret_cast<Node *>(taken));
    bool removed = settle_removal(c, victim, map, r, gone, errors);
    finish_eviction(c, victim, hold, removed, gone, errors);
  }
  return surplus(c) > 0 ? 0 : 1;
}

// One more try at the oldest stuck entry, without telling the callback
// again. Its failure was raised when it happened; a repeat of an ordinary
// error is not news, anything else (Ctrl-C, MemoryError) is passed on.
void retry_stuck(Cache *c, DeferredError &errors) {
  Node *s = c->oldest;
  if (s == nullptr || node_state(s) != NodeState::stuck) return;
  Ref<Node> gone;
  Ref<Node> hold = Ref<Node>::borrow(s);
  if (remove_victim(c, s, gone, errors)) return;
  // Not linked any more means it went, but with an error worth passing on.
  if (pending_error_is_ordinary()) {
    PyErr_Clear();
  } else {
    errors.capture(nullptr);
  }
  if (c->oldest == s && is_linked(c, s) && node_state(s) == NodeState::stuck) rotate_stuck(c);
}

}  // namespace

int evict_surplus(Cache *c, Node *keep, bool retry_all, bool room_reserved) {
  // Callbacks may drop every other reference to the cache.
  Ref<> self_hold = Ref<>::borrow(as_object(c));
  DeferredError errors;
  // An insertion retries one stuck entry, so a key that keeps failing
  // costs one try per insertion; a failed try sends it to the back.
  Py_ssize_t tries = retry_all ? c->stuck_count : 1;
  if (keep != nullptr && c->callback == nullptr && c->stuck_count == 0) {
    if (evict_quietly(c, keep, errors) > 0) return errors.raise();
    tries = 0;  // nothing was stuck before, and a victim stuck just now had its try
  }
  for (; tries > 0 && c->stuck_count > 0; --tries) retry_stuck(c, errors);
  while (surplus(c) > 0) {
    Node *victim = oldest_evictable(c);
    // Everything newer than the oldest evictable entry is evictable too.
    if (victim != nullptr && victim == keep) victim = victim->newer;
    if (victim == nullptr) break;
    // A victim whose removal fails is stuck and no longer counts, so the
    // loop moves on to the next oldest and cannot spin on it.
    Evicted how = evict_node(c, victim, room_reserved, errors);
    if (how == Evicted::refused) break;
    // An insertion whose callback raised evicts no further: a callback that
    // inserts on every call would otherwise recurse anew for each victim.
    // One whose victim got stuck goes on: what code run by the removal
    // added meanwhile (while an entry taken by mistake was out, say) must
    // still go, and the stuck victim no longer counts, so the loop cannot
    // spin on it.
    if (keep != nullptr && how == Evicted::callback_raised) break;
  }
  return errors.raise();
}

}  // namespace ivro
