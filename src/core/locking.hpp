// What keeps other threads out of a cache while an operation works on it,
// on interpreters without the GIL. With the GIL all of this compiles away.
//
// An operation holds the critical section of the cache's dictionary, which
// is therefore the cache's lock and stays the same object for the cache's
// life (clear() and a second __init__ empty it in place there). A critical
// section is suspended whenever its thread blocks, which is exactly where
// user code runs (a key's __hash__ or __eq__, a finaliser, the callback),
// and the interpreter takes back only the innermost one when the thread
// goes on. The dictionary's own operations lock the dictionary again,
// which the interpreter skips when that lock is the innermost one held; so
// a key's __eq__ that blocks in the middle of a store gets the whole cache
// back before the store goes on. Other threads can then change the cache
// only where user code runs, as they could with the GIL, and never between
// a dictionary operation and the bookkeeping that follows it.
//
// An operation entered again from user code that runs inside one (the
// callback, a key's __eq__) on the same thread finds that section the
// innermost one, so it goes straight on under it too.
#pragma once

#include <Python.h>

#include <atomic>
#include <type_traits>

#include "core/cache.hpp"

// CPython 3.12 has no critical sections, nor a build without the GIL.
#ifndef Py_BEGIN_CRITICAL_SECTION
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

namespace ivro {

#ifdef Py_GIL_DISABLED
// The dictionary is set once, by the first __init__, under the object's own
// critical section; operations read it before they hold anything.
inline PyObject *load_key_map(Cache *c) noexcept {
  return std::atomic_ref<PyObject *>(c->key_map).load(std::memory_order_acquire);
}
inline void publish_key_map(Cache *c, PyObject *map) noexcept {
  std::atomic_ref<PyObject *>(c->key_map).store(map, std::memory_order_release);
}
#else
inline void publish_key_map(Cache *c, PyObject *map) noexcept { c->key_map = map; }
#endif

// locked<f>: f(self, ...) run holding the cache's lock. A function the slot
// and method tables take in place of f. `Initialises` marks the one
// function that may run on a cache with no dictionary yet (the body of
// __init__); any other finds the cache not initialised there, and fails
// without running f, so that no user code that f runs (its arguments'
// parsing, say) can find a dictionary appear under it and go on without
// that dictionary's lock.
template <auto F, bool Initialises = false>
struct Locked;

template <class R, class... A, R (*F)(PyObject *, A...), bool Initialises>
struct Locked<F, Initialises> {
  static R call(PyObject *self, A... args) {
#ifdef Py_GIL_DISABLED
    Cache *c = as_cache(self);
    while (true) {  // GCOVR_EXCL_LINE: round again only in the race at the second look below
      PyObject *map = load_key_map(c);
      if (map != nullptr) {
        R result;
        Py_BEGIN_CRITICAL_SECTION(map);
        result = F(self, args...);
        Py_END_CRITICAL_SECTION();
        return result;
      }
      // Not initialised, or being initialised by another thread: the first
      // __init__ runs under the object's own section, and whatever finds no
      // dictionary once it holds that section finds the cache bare.
      bool bare = false;
      R result{};
      Py_BEGIN_CRITICAL_SECTION(self);
      // GCOVR_EXCL_BR_START: the dictionary there at this second look was
      // published by another thread's first __init__ in the few instructions
      // since the first, where no user code runs: no test can hold that open.
      if (load_key_map(c) == nullptr) {
        bare = true;
        if constexpr (Initialises) {
          result = F(self, args...);
        } else {
          require_initialised(c);
          if constexpr (std::is_pointer_v<R>) {
            result = nullptr;
          } else {
            result = -1;
          }
        }
      }
      Py_END_CRITICAL_SECTION();
      if (bare) return result;
      // GCOVR_EXCL_BR_STOP
    }
#else
    return F(self, args...);
#endif
  }
};

template <auto F>
inline constexpr auto locked = &Locked<F>::call;
// For the body of __init__ alone.
template <auto F>
inline constexpr auto locked_init = &Locked<F, true>::call;

}  // namespace ivro
