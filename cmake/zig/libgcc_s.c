/* A stand-in for libgcc_s.so.1 to link against (zig-toolchain.cmake): its
   unwinder's interface with GCC's symbol versions and no code behind it. A
   module linked with it takes the unwinder from the system's libgcc_s at
   run time, the one glibc uses to end threads, rather than a private copy
   (Zig's libunwind), which cannot step through frames that libgcc_s has
   begun unwinding. */
#define STUB(name) void name(void) {}
STUB(_Unwind_DeleteException)
STUB(_Unwind_Find_FDE)
STUB(_Unwind_ForcedUnwind)
STUB(_Unwind_GetDataRelBase)
STUB(_Unwind_GetGR)
STUB(_Unwind_GetIP)
STUB(_Unwind_GetLanguageSpecificData)
STUB(_Unwind_GetRegionStart)
STUB(_Unwind_GetTextRelBase)
STUB(_Unwind_RaiseException)
STUB(_Unwind_Resume)
STUB(_Unwind_SetGR)
STUB(_Unwind_SetIP)
STUB(_Unwind_Backtrace)
STUB(_Unwind_FindEnclosingFunction)
STUB(_Unwind_GetCFA)
STUB(_Unwind_Resume_or_Rethrow)
STUB(_Unwind_GetIPInfo)
