#include "core/dict_access.hpp"

namespace ivro {

#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x03100000
bool setdefault_may_lie = false;

void detect_dict_quirks() noexcept {
  const unsigned long v = Py_Version;
  // GCOVR_EXCL_START: each interpreter takes one way through these tests of its version
  setdefault_may_lie = (v >= 0x030D0000 && v < 0x030D0700) ||  // 3.13.0 to 3.13.6
                       (v >= 0x030E0000 && v < 0x030E00F0) ||  // 3.14 pre-releases
                       (v >= 0x030F0000 && v < 0x030F00A1);    // 3.15 before 3.15.0a1
  // GCOVR_EXCL_STOP
}
#else
void detect_dict_quirks() noexcept {}
#endif

}  // namespace ivro
