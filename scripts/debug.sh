#!/usr/bin/env bash
# The whole test suite on the debug builds of CPython (Debian unstable's
# python3.Xd), which check the C API's use as it happens: reference counts
# that drop below zero, exceptions left set or lost, objects used after
# their type says they are gone. The module is built without NDEBUG (CMake
# build type Debug), so the assertions in the interpreter's headers are
# compiled into it too; compiler warnings are errors.
#
# Usage: scripts/debug.sh [VERSION...]   (default: 3.13, 3.14 and 3.15)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=("${DEBUG_VERSIONS[@]}")

sid_rootfs
status=0
for ver in "${versions[@]}"; do
  name="debug-$ver"
  echo "== debug: CPython ${ver}d: build"
  # The debug interpreter must really be one, or this proves nothing.
  in_sid none "$ver" d -c 'import sys; assert hasattr(sys, "gettotalrefcount"), sys.executable'
  IVRO_WARNINGS_AS_ERRORS=ON sid_install "$name" "$ver" d cmake.build-type=Debug \
    cmake.define.IVRO_WARNINGS_AS_ERRORS=ON
  echo "== debug: CPython ${ver}d: tests"
  in_sid "$name" "$ver" d -m pytest -q -p no:cacheprovider "/ivro/$name/src/tests" || status=1
done
exit $status
