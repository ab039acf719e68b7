// The few dictionary operations the cache needs, in the forms that run the
// fewest hashes and never create an exception just to clear it again.
#pragma once

#include <Python.h>

#include <thread>

#include "core/recency_list.hpp"
#include "core/ref.hpp"

namespace ivro {

// Some interpreter releases (CPython 3.13 before 3.13.7, 3.14 before its
// final release, 3.15 before its first alpha) have a PyDict_SetDefault
// that, when growing the table runs out of memory, hands back the default as
// if it had stored it, with MemoryError pending and the dictionary's count
// already raised. The entry is not in the table then. Whether the running
// interpreter is one of them is decided once, at import: a module built
// against 3.13 headers may be loaded by any 3.13 release.
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x03100000
extern bool setdefault_may_lie;
// After PyDict_SetDefault handed back the default: true when it did not in
// fact store it (an error is pending).
// GCOVR_EXCL_BR_START: whether the dict may lie is fixed by the interpreter's version
inline bool setdefault_lied() noexcept { return setdefault_may_lie && PyErr_Occurred(); }
// GCOVR_EXCL_BR_STOP
#else
constexpr bool setdefault_lied() noexcept { return false; }
#endif
// Called by the module's initialisation.
void detect_dict_quirks() noexcept;

// Looks `key` up and tells absence from failure without creating an
// exception on a miss. 1 with a borrowed node in *out, 0 when absent, -1 on
// error. The borrowed pointer is valid until Python code next runs. (The
// borrowing lookup is measurably cheaper on a hit than PyDict_GetItemRef,
// which takes and drops a reference to the node.)
inline int dict_find(PyObject *d, PyObject *key, PyObject **out) {
  *out = PyDict_GetItemWithError(d, key);
  if (*out != nullptr) return 1;
  return PyErr_Occurred() ? -1 : 0;
}

// The same for lookups that miss as often as they hit (get): where the
// interpreter offers it, a lookup that reports absence in its result,
// without asking the thread state whether an error is pending.
inline int dict_find_or_miss(PyObject *d, PyObject *key, PyObject **out) {
#if PY_VERSION_HEX >= 0x030D0000
  int r = PyDict_GetItemRef(d, key, out);
  // The dictionary keeps its own reference, and nothing runs before the
  // caller is done with the node.
  if (r > 0) Py_DECREF(*out);
  return r;
#else
  return dict_find(d, key, out);
#endif
}

// Held by a removal across its dictionary operation, on the key the
// dictionary stored. Without the GIL, the dictionary's release of a key it
// removes may wait: a key that only the thread that made it had referenced
// goes back to that thread through a locked queue when another thread drops
// it, and waiting for that lock suspends the cache's. Other threads would
// then find the entry out of the dictionary but still on the list, and
// count one entry too few: an insertion would evict one too few, and a
// snapshot would show an entry too many. A reference of the removing
// thread's own keeps the dictionary's release from being the one that
// queues; it is dropped with this hold, once the list agrees again. With
// the GIL nothing runs there, and the hold is empty.
class RemovalKeyHold {
 public:
#ifdef Py_GIL_DISABLED
  explicit RemovalKeyHold(PyObject *stored_key) noexcept : key_(Ref<>::borrow(stored_key)) {}

 private:
  Ref<> key_;
#else
  explicit RemovalKeyHold(PyObject * /*stored_key*/) noexcept {}
#endif
};

// Marks a removal by a caller's key as under way, for as long as it lives:
// that key may be an equal one rather than the stored key, which no
// RemovalKeyHold can hold beforehand.
class RemovalUnderWay {
 public:
#ifdef Py_GIL_DISABLED
  explicit RemovalUnderWay(Cache *c) noexcept : c_(c) { ++c_->removals_under_way; }
  ~RemovalUnderWay() { --c_->removals_under_way; }
  RemovalUnderWay(const RemovalUnderWay &) = delete;
  RemovalUnderWay &operator=(const RemovalUnderWay &) = delete;

 private:
  Cache *c_;
#else
  explicit RemovalUnderWay(Cache * /*c*/) noexcept {}
#endif
};

// An entry still on the list that its own key no longer finds may be, on
// an interpreter without the GIL, another thread's removal caught half way:
// out of the dictionary, that thread waiting for a lock (by a key it
// removed through an equal one, which no RemovalKeyHold covers) and then
// for the cache's to take the entry off the list. Lets other threads run a
// while, until the entry is off the list. True when it is gone; false at
// once with the GIL, where nothing stops half way like that, and when no
// such removal is under way (a key whose hash changed must not cost a wait).
inline bool wait_for_removal_elsewhere(const Cache *c, const Node *n) {
#ifdef Py_GIL_DISABLED
  // GCOVR_EXCL_START: only another thread's removal caught waiting for a lock
  // Past a millisecond of waiting, a thread waiting for the cache's lock is
  // handed it when this one lets go, so tries for a few milliseconds
  // suffice. (Only the inline yield: sleeping would link the C++ runtime's
  // thread code into the module.)
  PyTime_t start = 0;
  PyTime_t now = 0;
  if (PyTime_MonotonicRaw(&start) < 0) start = 0;
  while (c->removals_under_way > 0 && is_linked(c, n)) {
    Py_BEGIN_ALLOW_THREADS;
    std::this_thread::yield();
    Py_END_ALLOW_THREADS;
    // The removal under way may be this thread's own, further up the stack.
    if (PyTime_MonotonicRaw(&now) < 0 || now - start > 5'000'000) break;
  }
  return !is_linked(c, n);
  // GCOVR_EXCL_STOP
#else
  (void)c;
  (void)n;
  return false;
#endif
}

// Removes `key` and hands over the value it held. 1 with a new reference in
// *out, 0 when absent (no error), -1 on error. The key is hashed even when
// the dictionary is empty, so an unhashable key always fails like it does
// for a plain dict's deletion.
inline int dict_take(PyObject *d, PyObject *key, PyObject **out) {
  *out = nullptr;
  if (PyDict_GET_SIZE(d) == 0) {
    return PyObject_Hash(key) == -1 ? -1 : 0;
  }
#if PY_VERSION_HEX >= 0x030D0000
  return PyDict_Pop(d, key, out);
#else
  // Every value in the cache's dictionary is a node, so None can only mean
  // that the key was absent.
  PyObject *r = _PyDict_Pop(d, key, Py_None);
  if (r == nullptr) return -1;
  if (r == Py_None) {
    Py_DECREF(r);
    return 0;
  }
  *out = r;
  return 1;
#endif
}

}  // namespace ivro
