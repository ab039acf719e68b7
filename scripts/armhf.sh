#!/usr/bin/env bash
# The whole test suite on 32-bit ARM hard-float under qemu (Py_ssize_t is 32
# bits wide there); see scripts/emulated.sh. Arguments replace the pytest
# target, e.g. scripts/armhf.sh tests/test_core.py -k callback
exec bash "$(dirname "${BASH_SOURCE[0]}")/emulated.sh" armhf "$@"
