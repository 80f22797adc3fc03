// Linked into a module built by zig-toolchain.cmake (with
// -Wl,--wrap=__cxa_rethrow): `throw;` of an unwind that is no C++ exception
// carries that unwind on instead of ending the process.
//
// glibc ends a thread (pthread_exit, which CPython calls on a daemon thread
// that wakes while the interpreter shuts down) with a forced unwind through
// libgcc_s. A handler `catch (...) { ...; throw; }` sees it like any
// foreign exception, and libc++abi's __cxa_rethrow starts a new two-phase
// raise of it, which finds no handler and calls std::terminate ("terminating
// due to uncaught foreign exception"). libstdc++ continues such an unwind
// with _Unwind_Resume_or_Rethrow, as done here, so that the thread ends as
// it does in a module built with GCC.
//
// cxa_exception.h is libc++abi's own (Zig ships its sources), so the layout
// used here is that of the libc++abi linked into the module.
#include "cxa_exception.h"

extern "C" [[noreturn]] void __real___cxa_rethrow();

extern "C" [[noreturn]] void __wrap___cxa_rethrow() {
  __cxxabiv1::__cxa_eh_globals* globals = __cxxabiv1::__cxa_get_globals_fast();
  __cxxabiv1::__cxa_exception* header = globals != nullptr ? globals->caughtExceptions : nullptr;
  if (header != nullptr && !__cxxabiv1::__isOurExceptionClass(&header->unwindHeader)) {
    // As libc++abi does for a foreign exception: popped from the caught
    // stack, so that __cxa_end_catch on the way out leaves it alone.
    globals->caughtExceptions = nullptr;
    _Unwind_Resume_or_Rethrow(&header->unwindHeader);
  }
  __real___cxa_rethrow();
}
