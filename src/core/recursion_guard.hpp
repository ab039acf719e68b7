// What keeps nested evictions within the interpreter's recursion limit, and
// makes sure that the callback can still be called when an eviction needs it.
#pragma once

#include <Python.h>

#include "core/cache.hpp"

namespace ivro {

// Whether the interpreter would still start a call of the callback from
// here: a frame for its code, and C levels (or, where the interpreter
// measures the C stack itself, stack) for the calls in between. At the
// limit the interpreter refuses the call before the callback's first line
// runs, and a victim removed then would leave unheard. Asked before an
// operation begins, the answer holds for the deeper calls of its
// evictions. False with RecursionError set.
bool callback_has_room() noexcept;

// Eviction runs the callback, which may insert into this or another cache
// and so evict again, possibly through C functions only (one cache's
// __setitem__ as another's callback). A Python function's frame counts
// against the recursion limit by itself; with any other callback, each
// operation that may evict counts as one level, so that deep nesting ends
// in RecursionError before the operation changes anything, never in a C
// stack overflow.
class RecursionGuard {
 public:
  RecursionGuard() noexcept = default;
  RecursionGuard(const RecursionGuard &) = delete;
  RecursionGuard &operator=(const RecursionGuard &) = delete;
  ~RecursionGuard() {
    if (entered_) Py_LeaveRecursiveCall();
  }
  // False with RecursionError set when the limit is reached.
  bool enter() noexcept {
    if (Py_EnterRecursiveCall(" while evicting from an IVRO")) return false;
    entered_ = true;
    return true;
  }
  // For an operation about to evict: takes its level, and checks that the
  // callback can be called once it has. Called before anything changes, so
  // that an operation refused at the limit changes nothing.
  bool reserve(const Cache *c) noexcept {
    if (c->callback == nullptr) return true;
    if (c->callback_counts && !enter()) return false;
    reserved_ = callback_has_room();
    return reserved_;
  }
  // Whether the operation found room for the callback: its evictions need
  // not look again.
  bool reserved() const noexcept { return reserved_; }

 private:
  bool entered_ = false;
  bool reserved_ = false;
};

}  // namespace ivro
