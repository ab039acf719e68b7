#!/usr/bin/env bash
# The wheels users install, into build/wheelhouse/ with SHA256SUMS: every
# cell that no other stage of the run has built yet is built here
# (scripts/wheelhouse.sh says how each is built and checked):
#
#   manylinux_2_17 x86-64   cp312, cp313 (this machine's), cp314, cp315
#                           (Debian unstable's), cp315t (the free-threaded
#                           build)
#   manylinux_2_17 aarch64, armv7l   cp313 (Debian 13's headers)
#   musllinux_1_2 x86-64, armv7l     cp312 (the musl stage's interpreters)
#
# The whole suite runs on each wheel in the stage of its interpreter (unit,
# freethreaded, musl, aarch64, armhf; the table at the end says which);
# here, one wheel meets an interpreter other than the one whose headers
# built it: the cp313 wheel, pip-installed on Debian unstable's 3.13.
#
# Usage: scripts/wheels.sh [CELL...]   (default: every cell; names in
# scripts/wheels.py)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$ROOT/scripts/wheelhouse.sh"
cd "$ROOT"

cells=("$@")
[ ${#cells[@]} -gt 0 ] || mapfile -t cells < <(wheels cells)

# another_313: the cp313 wheel on Debian unstable's 3.13.
another_313() {
  sid_usable >/dev/null 2>&1 ||
    skip "the cp313 wheel on Debian unstable's 3.13: $(sid_usable 2>&1)"
  wheel_of cp313
  sid_rootfs
  sid_wheel_suite "$wheel" 3.13 wheels-cp313-on-sid
}

for cell in "${cells[@]}"; do part wheel_of "$cell"; done
[[ " ${cells[*]} " != *" cp313 "* ]] || part another_313

echo "== wheels: in build/wheelhouse/ (bytes, wheel, where the whole suite runs on it)"
wheels house --work "$WHEEL_WORK" --house "$WHEELHOUSE" --key "$IVRO_WHEEL_KEY"
stage_exit
