// Compiled into the module only by coverage builds (IVRO_COVERAGE). GCC's
// counters reach their .gcda files when the module is unloaded at exit; a
// process that leaves by os._exit (the allocation-failure tests' children
// do, since their interpreter may be broken) would lose them. This gives
// the coverage hook (gcov_hook.py) a way to write them out first.
extern "C" void __gcov_dump(void);

extern "C" __attribute__((visibility("default"))) void ivro_gcov_dump(void) { __gcov_dump(); }
