"""Loaded at start-up of every interpreter in the coverage venv (by a .pth
file that scripts/coverage.sh writes there): writes the module's gcov
counters out before os._exit, which skips the unloading that would write them."""

import os
import sys

_exit = os._exit


def _dump_then_exit(status):
    module = sys.modules.get("_ivro")
    if module is not None:
        import ctypes

        ctypes.CDLL(module.__file__).ivro_gcov_dump()
    _exit(status)


os._exit = _dump_then_exit
