// Which calls beyond POSIX this build of the POSIX layer uses. Every such
// call sits behind one ZELKOR_USE_* switch below, 1 or 0, with a fallback of
// plain POSIX calls beside it; that fallback is what macOS and the BSDs run.
// The Linux-only calls are used only on Linux and only when the system's
// headers declare them. Defining ZELKOR_PORTABLE_POSIX (the CMake option of
// the same name) turns every switch off, so that a Linux machine builds
// and tests the portable path alone.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#if defined(__linux__) && !defined(ZELKOR_PORTABLE_POSIX)
#define ZELKOR_LINUX_CALLS 1
#else
#define ZELKOR_LINUX_CALLS 0
#endif

// mmap's MAP_POPULATE: the pages of a file mapping are read in by the mmap.
#if ZELKOR_LINUX_CALLS && defined(MAP_POPULATE)
#define ZELKOR_USE_MAP_POPULATE 1
#else
#define ZELKOR_USE_MAP_POPULATE 0
#endif

// madvise with Linux's meanings: MADV_DONTNEED drops a range's pages from
// the process at once, MADV_POPULATE_READ (Linux 5.14) maps a range in,
// MADV_HUGEPAGE asks for transparent huge pages. Without it, posix_madvise
// gives the portable hints (POSIX_MADV_WILLNEED, POSIX_MADV_DONTNEED) and
// there is no huge-page advice.
#if ZELKOR_LINUX_CALLS && defined(MADV_DONTNEED) && defined(MADV_WILLNEED)
#define ZELKOR_USE_MADVISE 1
#else
#define ZELKOR_USE_MADVISE 0
#endif
#if ZELKOR_USE_MADVISE && defined(MADV_HUGEPAGE)
#define ZELKOR_USE_MADV_HUGEPAGE 1
#else
#define ZELKOR_USE_MADV_HUGEPAGE 0
#endif

// mremap: a large anonymous mapping grows in place or moves its pages,
// never copying them. Without it, growth maps anew and copies.
#if ZELKOR_LINUX_CALLS && defined(MREMAP_MAYMOVE)
#define ZELKOR_USE_MREMAP 1
#else
#define ZELKOR_USE_MREMAP 0
#endif

// sync_file_range: starting writeback without waiting. Without it the hint
// does nothing and the final fsync does all the work.
#if ZELKOR_LINUX_CALLS && defined(SYNC_FILE_RANGE_WRITE)
#define ZELKOR_USE_SYNC_FILE_RANGE 1
#else
#define ZELKOR_USE_SYNC_FILE_RANGE 0
#endif

// getrandom (Linux 3.17, glibc 2.25, musl 1.1.20, which also bring its
// header). Without it: getentropy where the system has it (macOS 10.12,
// the BSDs, glibc 2.25), else /dev/urandom.
#if ZELKOR_LINUX_CALLS && __has_include(<sys/random.h>)
#define ZELKOR_USE_GETRANDOM 1
#else
#define ZELKOR_USE_GETRANDOM 0
#endif
#if defined(__APPLE__) || defined(__OpenBSD__) || defined(__FreeBSD__) || \
    (defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 25)))
#define ZELKOR_HAVE_GETENTROPY 1
#else
#define ZELKOR_HAVE_GETENTROPY 0
#endif

// macOS's fsync leaves the data in the drive's cache; F_FULLFSYNC flushes
// that too, where the file system supports it.
#if defined(F_FULLFSYNC)
#define ZELKOR_USE_FULLFSYNC 1
#else
#define ZELKOR_USE_FULLFSYNC 0
#endif

#if !defined(MAP_ANONYMOUS) && defined(MAP_ANON)
#define MAP_ANONYMOUS MAP_ANON
#endif
