#include "core/recursion_guard.hpp"

#if defined(_MSC_VER)
#include <malloc.h>
#define IVRO_ALLOCA _alloca
#define IVRO_NOINLINE __declspec(noinline)
#else
#include <alloca.h>
#define IVRO_ALLOCA alloca
#define IVRO_NOINLINE __attribute__((noinline))
#endif

namespace ivro {

namespace {

bool refuse() noexcept {
  PyErr_SetString(PyExc_RecursionError,
                  "maximum recursion depth exceeded: no room left to call the eviction "
                  "callback of an IVRO");
  return false;
}

// What a call of the callback may take before its first line runs: an
// object with __call__ takes a level for the call of a type's slot and one
// for the frame's evaluation, a functools.partial or a bound method one or
// two more. Generous on purpose: refusing a little early is harmless.
#if PY_VERSION_HEX < 0x030E0000
constexpr int c_levels_for_call = 16;
#else
// These interpreters measure the machine stack: below a soft limit a call
// raises RecursionError, and a margin further down (2048 words; more on
// sanitizer builds) they abort. So the stack is probed with the
// interpreter's own check twice: here, which also tells that the soft
// limit is above, and then from a little less than that margin deeper,
// which can therefore not be past the abort. What passes leaves room for
// the calls that reach the callback's first line, a few hundred bytes.
constexpr size_t margin = sizeof(void *) * 2048;
constexpr size_t probe_depth = margin - 1024;

IVRO_NOINLINE bool check_from_below(size_t depth) noexcept {
  volatile char *below = static_cast<char *>(IVRO_ALLOCA(depth));
  below[0] = 0;  // the allocation must not be optimised away
  if (Py_EnterRecursiveCall(" while evicting from an IVRO")) return false;
  Py_LeaveRecursiveCall();
  return true;
}

bool stack_has_room() noexcept {
  if (Py_EnterRecursiveCall(" while evicting from an IVRO")) return false;
  Py_LeaveRecursiveCall();
  return check_from_below(probe_depth);
}
#endif

}  // namespace

// The room left is read from the thread state where no API tells it:
// `py_recursion_remaining` (3.12 and later) has no getter, and on 3.12 and
// 3.13 `c_recursion_remaining` could only be tested through
// Py_EnterRecursiveCall one level at a time, which would take 32 calls per
// eviction. Both are plain fields of the thread state's public structure,
// only read here.
bool callback_has_room() noexcept {
  PyThreadState *ts = PyThreadState_Get();
  // One frame for the callback's code, wherever it is called from.
  if (ts->py_recursion_remaining < 1) return refuse();
#if PY_VERSION_HEX >= 0x030E0000
  return stack_has_room();
#else
  // Twice what the call needs: an operation checks before its evictions,
  // which call the callback from a few C levels deeper.
  return ts->c_recursion_remaining >= 2 * c_levels_for_call || refuse();
#endif
}

}  // namespace ivro
