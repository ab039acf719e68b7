// What keeps other threads out of a cache while an operation works on it,
// on interpreters without the GIL. With the GIL all of this compiles away.
//
// An operation holds the cache's critical section and, inside it, its
// dictionary's. The inner one is what matters: a critical section is
// suspended whenever its thread blocks, which is exactly where user code
// runs (a key's __hash__ or __eq__, a finaliser, the callback), and on
// resuming the interpreter takes back only the innermost one. The
// dictionary's own operations lock the dictionary again, which the
// interpreter skips when that lock is the innermost one held; so a key's
// __eq__ that blocks in the middle of a store gets the cache back before
// the store goes on. Other threads can then change the cache only where
// user code runs, as they could with the GIL, and never between a
// dictionary operation and the bookkeeping that follows it.
//
// Not yet so when the cache is emptied meanwhile: clear() and a second
// __init__ give the cache a new dictionary (emptying one in place while a
// store into it is under way meets interpreter releases that then store
// the key where it can never be found again), so an operation suspended in
// a probe of the old dictionary resumes holding that dictionary's lock, not
// the new one's. That is why the module does not declare that it runs
// without the GIL.
#pragma once

#include <Python.h>

#include "core/cache.hpp"

// CPython 3.12 has no critical sections, nor a build without the GIL.
#ifndef Py_BEGIN_CRITICAL_SECTION
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

namespace ivro {

// locked<f>: f(self, ...) run holding the cache's critical sections. A
// function the slot and method tables take in place of f.
template <auto F>
struct Locked;

template <class R, class... A, R (*F)(PyObject *, A...)>
struct Locked<F> {
  static R call(PyObject *self, A... args) {
#ifdef Py_GIL_DISABLED
    R result;
    Py_BEGIN_CRITICAL_SECTION(self);
    // Null until the first __init__, which runs under the outer section.
    PyObject *map = as_cache(self)->key_map;
    if (map == nullptr) {
      result = F(self, args...);
    } else {
      Py_BEGIN_CRITICAL_SECTION(map);
      result = F(self, args...);
      Py_END_CRITICAL_SECTION();
    }
    Py_END_CRITICAL_SECTION();
    return result;
#else
    return F(self, args...);
#endif
  }
};

template <auto F>
inline constexpr auto locked = &Locked<F>::call;

}  // namespace ivro
