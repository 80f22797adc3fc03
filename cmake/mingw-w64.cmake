# Cross-compiling the core for 64-bit Windows with mingw-w64's GCC in its
# POSIX-threads flavour (Debian: g++-mingw-w64-x86-64-posix), whose
# libstdc++ has std::thread and std::jthread:
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         -DZELKOR_BUILD_MODULE=OFF -DZELKOR_BUILD_NATIVE_TESTS=ON
# tools/windows_check.sh does that and runs the test program under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZELKOR_MINGW_PREFIX x86_64-w64-mingw32 CACHE STRING "Target triple of the mingw-w64 tools")
set(CMAKE_C_COMPILER ${ZELKOR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZELKOR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZELKOR_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZELKOR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run through Wine (for ctest and custom commands).
find_program(ZELKOR_WINE NAMES wine wine64)
if(ZELKOR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZELKOR_WINE})
endif()
