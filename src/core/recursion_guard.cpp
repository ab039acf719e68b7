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
constexpr size_t stack_for_call = 8 * 1024;

// The interpreter checks the machine stack against its own limit; the check
// is made from as deep as the call of the callback will go.
IVRO_NOINLINE bool stack_has_room(size_t depth) noexcept {
  volatile char *below = static_cast<char *>(IVRO_ALLOCA(depth));
  below[0] = 0;  // the allocation must not be optimised away
  if (Py_EnterRecursiveCall(" while evicting from an IVRO")) return false;
  Py_LeaveRecursiveCall();
  return true;
}
#endif

}  // namespace

bool callback_has_room(bool ahead) noexcept {
  PyThreadState *ts = PyThreadState_Get();
  // One frame for the callback's code, wherever it is called from.
  if (ts->py_recursion_remaining < 1) return refuse();
  // An operation checks ahead for twice what the call needs, so that the
  // check made at the call itself, deeper down, cannot fail after it.
  const int times = ahead ? 2 : 1;
#if PY_VERSION_HEX >= 0x030E0000
  return stack_has_room(times * stack_for_call);
#else
  return ts->c_recursion_remaining >= times * c_levels_for_call || refuse();
#endif
}

}  // namespace ivro
