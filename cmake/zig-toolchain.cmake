# Builds with Zig's Clang (the `ziglang` package from PyPI) for the glibc
# version named in the target, whatever the build machine's glibc:
#
#   ZELKOR_ZIG=/path/to/zig ZELKOR_ZIG_TARGET=x86_64-linux-gnu.2.26 \
#     cmake -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake ...
#
# Zig links against stubs of that glibc version, so every symbol the
# module takes from glibc has a version no newer than it, and its headers
# declare nothing newer (a call to a newer function fails to compile
# instead of failing to load). The C++ library is Zig's libc++, linked
# statically, so the module needs no libstdc++ of any age; its unwinder is
# the system's libgcc_s (below). The compilers are small scripts written
# into the build tree with both values fixed, so a later `cmake --build`
# needs neither variable. tools/wheels.sh sets both (docs/packaging.md).
foreach(var ZELKOR_ZIG ZELKOR_ZIG_TARGET)
  if(NOT DEFINED ${var})
    set(${var} "$ENV{${var}}")
  endif()
  if("${${var}}" STREQUAL "")
    message(FATAL_ERROR "zig-toolchain.cmake needs ${var} (as a CMake or an environment variable)")
  endif()
endforeach()
# try_compile runs this file again in its own project: pass both on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZELKOR_ZIG ZELKOR_ZIG_TARGET)

string(REGEX MATCH "^[^-]+" ZELKOR_ZIG_ARCH "${ZELKOR_ZIG_TARGET}")
cmake_host_system_information(RESULT _zelkor_host_arch QUERY OS_PLATFORM)
if(NOT ZELKOR_ZIG_ARCH STREQUAL _zelkor_host_arch)
  # Another processor: a cross build, whose programs do not run here.
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${ZELKOR_ZIG_ARCH})
endif()

set(_zelkor_zig_dir "${CMAKE_BINARY_DIR}/zig-${ZELKOR_ZIG_TARGET}")
file(MAKE_DIRECTORY "${_zelkor_zig_dir}")
# (name, zig subcommand, whether it takes the target)
foreach(tool "cc;cc;1" "c++;c++;1" "ar;ar;0" "ranlib;ranlib;0")
  list(GET tool 0 name)
  list(GET tool 1 sub)
  list(GET tool 2 takes_target)
  set(args "${sub}")
  if(takes_target)
    set(args "${sub} -target ${ZELKOR_ZIG_TARGET}")
  endif()
  file(CONFIGURE OUTPUT "${_zelkor_zig_dir}/zig-${name}" CONTENT "#!/bin/sh\nexec '${ZELKOR_ZIG}' ${args} \"$@\"\n" @ONLY)
  file(CHMOD "${_zelkor_zig_dir}/zig-${name}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
       WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER "${_zelkor_zig_dir}/zig-cc")
set(CMAKE_CXX_COMPILER "${_zelkor_zig_dir}/zig-c++")
set(CMAKE_AR "${_zelkor_zig_dir}/zig-ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${_zelkor_zig_dir}/zig-ranlib" CACHE FILEPATH "" FORCE)
# The module is linked stripped (-s): the build machine's strip may not
# know a foreign processor's files.
set(CMAKE_STRIP "/bin/true" CACHE FILEPATH "" FORCE)

# Clang warns of a private field that a stable-ABI build leaves unused
# (KeyBytes::inline_, the buffer of the default build's own UTF-8
# encoding); a warning here, not an error.
set(CMAKE_CXX_FLAGS_INIT "-Wno-error=unused-private-field")

# One unwinder in the process. Zig links libc++ with a private copy of
# LLVM's libunwind; but glibc ends a thread (pthread_exit: CPython's daemon
# threads at shutdown) by unwinding it with libgcc_s, whose state that copy
# cannot read, and the process crashed in the module's frames. Linked
# against a stand-in for libgcc_s.so.1 (zig/libgcc_s.c), the module takes
# every _Unwind_* function from the system's libgcc_s instead (one of the
# libraries a manylinux wheel may use), as a GCC build does, and Zig's
# libunwind is left out. zig/forced_unwind.cc then continues such an
# unwind where the module's handlers rethrow it.
set(_zelkor_zig_src "${CMAKE_CURRENT_LIST_DIR}/zig")
execute_process(COMMAND "${ZELKOR_ZIG}" env OUTPUT_VARIABLE _zelkor_zig_env RESULT_VARIABLE _zelkor_rc)
string(REGEX MATCH "\\.lib_dir = \"([^\"]+)\"" _zelkor_match "${_zelkor_zig_env}")
set(_zelkor_zig_lib "${CMAKE_MATCH_1}")
if(NOT _zelkor_rc EQUAL 0 OR NOT EXISTS "${_zelkor_zig_lib}/libcxxabi/src/cxa_exception.h")
  message(FATAL_ERROR "zig-toolchain.cmake: no libc++abi sources under '${_zelkor_zig_lib}' (${ZELKOR_ZIG} env)")
endif()
if(NOT EXISTS "${_zelkor_zig_dir}/libgcc_s.so.1" OR NOT EXISTS "${_zelkor_zig_dir}/forced_unwind.o")
  execute_process(
    COMMAND "${_zelkor_zig_dir}/zig-cc" -shared -nostdlib -Wl,-soname,libgcc_s.so.1
            "-Wl,--version-script=${_zelkor_zig_src}/libgcc_s.map" -o "${_zelkor_zig_dir}/libgcc_s.so.1"
            "${_zelkor_zig_src}/libgcc_s.c"
    RESULT_VARIABLE _zelkor_rc)
  if(NOT _zelkor_rc EQUAL 0)
    message(FATAL_ERROR "zig-toolchain.cmake: the libgcc_s stand-in did not build")
  endif()
  execute_process(
    COMMAND "${_zelkor_zig_dir}/zig-c++" -std=c++20 -O2 -fPIC -c -D_LIBCPP_ENABLE_CXX17_REMOVED_UNEXPECTED_FUNCTIONS
            "-I${_zelkor_zig_lib}/libcxxabi/src" "-I${_zelkor_zig_lib}/libcxxabi/include"
            -o "${_zelkor_zig_dir}/forced_unwind.o" "${_zelkor_zig_src}/forced_unwind.cc"
    RESULT_VARIABLE _zelkor_rc)
  if(NOT _zelkor_rc EQUAL 0)
    message(FATAL_ERROR "zig-toolchain.cmake: forced_unwind.cc did not compile")
  endif()
endif()

# The module exports its init function alone: the static libraries linked
# into it (libc++, ISA-L's CRC routines) keep their symbols to themselves,
# so they never stand in for another module's copies.
file(WRITE "${_zelkor_zig_dir}/exports.map" "{\n  global: PyInit_*;\n  local: *;\n};\n")
set(_zelkor_link "-s -Wl,--version-script=${_zelkor_zig_dir}/exports.map")
string(APPEND _zelkor_link " -Wl,--wrap=__cxa_rethrow ${_zelkor_zig_dir}/forced_unwind.o ${_zelkor_zig_dir}/libgcc_s.so.1")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_zelkor_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_zelkor_link}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--wrap=__cxa_rethrow ${_zelkor_zig_dir}/forced_unwind.o ${_zelkor_zig_dir}/libgcc_s.so.1")

# A cross build compiles against the target's own Python headers (their
# pyconfig.h is the target's), given as ZELKOR_PYTHON_INCLUDE_DIR; the
# build machine's interpreter only drives the build.
if(NOT DEFINED ZELKOR_PYTHON_INCLUDE_DIR)
  set(ZELKOR_PYTHON_INCLUDE_DIR "$ENV{ZELKOR_PYTHON_INCLUDE_DIR}")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZELKOR_PYTHON_INCLUDE_DIR)
if(NOT ZELKOR_PYTHON_INCLUDE_DIR STREQUAL "")
  set(Python_INCLUDE_DIR "${ZELKOR_PYTHON_INCLUDE_DIR}" CACHE PATH "" FORCE)
elseif(CMAKE_CROSSCOMPILING)
  message(FATAL_ERROR "zig-toolchain.cmake: a build for ${ZELKOR_ZIG_ARCH} needs ZELKOR_PYTHON_INCLUDE_DIR")
endif()

# Headers and libraries are searched for outside the build machine's
# system prefixes, whose glibc is newer: ISA-L's are given explicitly
# (ISAL_INCLUDE_DIR, ISAL_LIBRARY), Python's come from the interpreter.
set(CMAKE_SYSTEM_IGNORE_PREFIX_PATH "/usr;/usr/local;/")
