#!/usr/bin/env bash
# The whole test suite on 64-bit ARM (Debian's arm64) under qemu; see
# scripts/emulated.sh. Arguments replace the pytest target, e.g.
# scripts/aarch64.sh tests/test_core.py -k callback
exec bash "$(dirname "${BASH_SOURCE[0]}")/emulated.sh" arm64 "$@"
