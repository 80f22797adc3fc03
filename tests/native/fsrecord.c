/* Records the file-system operations a program makes on the files below
   one directory, for the crash-state replayer in tests/crashsim.

   Preload it (LD_PRELOAD) and switch it on and off from the program:

     zelkor_fsrecord_start(root, log, data, space)
     zelkor_fsrecord_stop()

   `root` is an absolute path without symbolic links. While recording, every
   call below that names a path at or below `root`, or acts on a descriptor
   opened at such a path, is performed and then appended to `log` as one
   JSON object per line, in the order the calls completed (a lock makes
   them take turns, so the order is well defined even across threads).
   The bytes of each write go to `data`; the line gives their place there.
   With `space` >= 0, writes below `root` may store that many bytes in all:
   the write that reaches the limit is cut short and later ones fail with
   ENOSPC, as on a full disk.

   Operations the replayer does not model (writable shared mappings,
   fallocate, copy_file_range, sendfile, symbolic links, descriptor
   duplication) are logged as such, so that a replay refuses the trace
   rather than missing what they did. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#define MAX_FD 65536

/* The checked opens that _FORTIFY_SOURCE builds call; declared only when
   fortification is on. */
int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dirfd, const char *path, int flags);
int __openat64_2(int dirfd, const char *path, int flags);

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static volatile int active;
static char root[PATH_MAX];
static size_t root_len;
static int log_fd = -1, data_fd = -1;
static long long data_end, seq, space_left = -1;
static unsigned char tracked[MAX_FD];

#define REAL(name) static __typeof__(name) *real_##name
REAL(open); REAL(open64); REAL(openat); REAL(openat64); REAL(creat); REAL(creat64);
REAL(__open_2); REAL(__open64_2); REAL(__openat_2); REAL(__openat64_2);
REAL(write); REAL(pwrite); REAL(pwrite64); REAL(writev); REAL(pwritev); REAL(pwritev64);
REAL(pwritev2); REAL(pwritev64v2);
REAL(ftruncate); REAL(ftruncate64); REAL(truncate); REAL(truncate64);
REAL(fsync); REAL(fdatasync); REAL(sync_file_range); REAL(sync); REAL(syncfs);
REAL(rename); REAL(renameat); REAL(renameat2); REAL(unlink); REAL(unlinkat);
REAL(link); REAL(linkat); REAL(mkdir); REAL(mkdirat); REAL(rmdir);
REAL(symlink); REAL(symlinkat);
REAL(fchmod); REAL(chmod); REAL(fchmodat); REAL(close);
REAL(dup); REAL(dup2); REAL(dup3);
REAL(fallocate); REAL(fallocate64); REAL(posix_fallocate); REAL(posix_fallocate64);
REAL(copy_file_range); REAL(sendfile); REAL(sendfile64);
REAL(mmap); REAL(mmap64);

#define RESOLVE(name) real_##name = (__typeof__(real_##name))dlsym(RTLD_NEXT, #name)
/* Runs as the library loads, and again on first use when another preloaded
   library (a sanitizer runtime) calls in before that. */
__attribute__((constructor)) static void resolve_all(void) {
    RESOLVE(open); RESOLVE(open64); RESOLVE(openat); RESOLVE(openat64); RESOLVE(creat); RESOLVE(creat64);
    RESOLVE(__open_2); RESOLVE(__open64_2); RESOLVE(__openat_2); RESOLVE(__openat64_2);
    RESOLVE(write); RESOLVE(pwrite); RESOLVE(pwrite64); RESOLVE(writev); RESOLVE(pwritev); RESOLVE(pwritev64);
    RESOLVE(pwritev2); RESOLVE(pwritev64v2);
    RESOLVE(ftruncate); RESOLVE(ftruncate64); RESOLVE(truncate); RESOLVE(truncate64);
    RESOLVE(fsync); RESOLVE(fdatasync); RESOLVE(sync_file_range); RESOLVE(sync); RESOLVE(syncfs);
    RESOLVE(rename); RESOLVE(renameat); RESOLVE(renameat2); RESOLVE(unlink); RESOLVE(unlinkat);
    RESOLVE(link); RESOLVE(linkat); RESOLVE(mkdir); RESOLVE(mkdirat); RESOLVE(rmdir);
    RESOLVE(symlink); RESOLVE(symlinkat);
    RESOLVE(fchmod); RESOLVE(chmod); RESOLVE(fchmodat); RESOLVE(close);
    RESOLVE(dup); RESOLVE(dup2); RESOLVE(dup3);
    RESOLVE(fallocate); RESOLVE(fallocate64); RESOLVE(posix_fallocate); RESOLVE(posix_fallocate64);
    RESOLVE(copy_file_range); RESOLVE(sendfile); RESOLVE(sendfile64);
    RESOLVE(mmap); RESOLVE(mmap64);
}

#define R(name) (real_##name ? real_##name : (resolve_all(), real_##name))

/* ---- control ---------------------------------------------------------- */

int zelkor_fsrecord_start(const char *dir, const char *log, const char *data, long long space) {
    pthread_mutex_lock(&lock);
    size_t n = strlen(dir);
    while (n > 1 && dir[n - 1] == '/') --n;
    if (n == 0 || n >= sizeof root || dir[0] != '/') { pthread_mutex_unlock(&lock); return -1; }
    memcpy(root, dir, n);
    root[n] = 0;
    root_len = n;
    log_fd = R(open)(log, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    data_fd = R(open)(data, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    data_end = 0;
    seq = 0;
    space_left = space;
    memset(tracked, 0, sizeof tracked);
    int ok = log_fd >= 0 && data_fd >= 0;
    active = ok;
    pthread_mutex_unlock(&lock);
    return ok ? 0 : -1;
}

int zelkor_fsrecord_stop(void) {
    pthread_mutex_lock(&lock);
    active = 0;
    if (log_fd >= 0) R(close)(log_fd);
    if (data_fd >= 0) R(close)(data_fd);
    log_fd = data_fd = -1;
    pthread_mutex_unlock(&lock);
    return 0;
}

/* ---- paths ------------------------------------------------------------ */

/* Writes into `out` the path of `path` relative to the root, resolved
   against `dirfd`, with "." and empty components dropped and ".." taken
   lexically; "." for the root itself. Returns 0 when it lies outside. */
static int relative_path(int dirfd, const char *path, char *out, size_t size) {
    char full[2 * PATH_MAX + 2];
    if (path == NULL) return 0;
    if (path[0] == '/') {
        snprintf(full, sizeof full, "%s", path);
    } else {
        char base[PATH_MAX];
        if (dirfd == AT_FDCWD) {
            if (getcwd(base, sizeof base) == NULL) return 0;
        } else {
            char link[64];
            snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
            ssize_t k = readlink(link, base, sizeof base - 1);
            if (k < 0) return 0;
            base[k] = 0;
        }
        snprintf(full, sizeof full, "%s/%s", base, path);
    }
    /* Lexical normalisation in place into `norm`. */
    char norm[sizeof full];
    size_t len = 0;
    const char *p = full;
    while (*p) {
        while (*p == '/') ++p;
        const char *end = p;
        while (*end && *end != '/') ++end;
        size_t k = (size_t)(end - p);
        if (k == 0 || (k == 1 && p[0] == '.')) {
        } else if (k == 2 && p[0] == '.' && p[1] == '.') {
            while (len > 0 && norm[len - 1] != '/') --len;
            if (len > 0) --len;
        } else {
            if (len + 1 + k >= sizeof norm) return 0;
            norm[len++] = '/';
            memcpy(norm + len, p, k);
            len += k;
        }
        p = end;
    }
    norm[len] = 0;
    if (len < root_len || memcmp(norm, root, root_len) != 0) return 0;
    if (norm[root_len] == 0) {
        snprintf(out, size, ".");
        return 1;
    }
    if (norm[root_len] != '/') return 0;
    snprintf(out, size, "%s", norm + root_len + 1);
    return 1;
}

static int is_tracked(int fd) { return fd >= 0 && fd < MAX_FD && tracked[fd]; }

/* ---- the log ---------------------------------------------------------- */

typedef struct {
    char text[3 * PATH_MAX + 512];
    size_t len;
} Line;

static void put(Line *l, const char *fmt, ...) {
    if (l->len >= sizeof l->text) return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(l->text + l->len, sizeof l->text - l->len, fmt, ap);
    va_end(ap);
    if (n > 0) l->len += (size_t)n;
}

/* A path as a JSON string; bytes outside printable ASCII as \u00XX, so
   that the reader gets the bytes back through latin-1. */
static void put_path(Line *l, const char *key, const char *path) {
    put(l, ",\"%s\":\"", key);
    for (const unsigned char *c = (const unsigned char *)path; *c; ++c) {
        if (*c < 0x20 || *c >= 0x7f || *c == '"' || *c == '\\') put(l, "\\u%04x", *c);
        else put(l, "%c", *c);
    }
    put(l, "\"");
}

static void begin(Line *l, const char *op) {
    l->len = 0;
    put(l, "{\"seq\":%lld,\"op\":\"%s\",\"tid\":%ld", seq++, op, (long)syscall(SYS_gettid));
}

static void put_result(Line *l, long long ret, int err) {
    put(l, ",\"ret\":%lld", ret);
    if (ret < 0) put(l, ",\"errno\":%d", err);
}

static void finish(Line *l) {
    put(l, "}\n");
    const char *p = l->text;
    size_t n = l->len < sizeof l->text ? l->len : sizeof l->text - 1;
    while (n > 0) {
        ssize_t w = R(write)(log_fd, p, n);
        if (w <= 0) break;
        p += w;
        n -= (size_t)w;
    }
}

static long long save_bytes(const void *p, size_t n) {
    long long at = data_end;
    const char *c = p;
    while (n > 0) {
        ssize_t w = R(write)(data_fd, c, n);
        if (w <= 0) break;
        c += w;
        n -= (size_t)w;
        data_end += w;
    }
    return at;
}

/* ---- opens ------------------------------------------------------------ */

static int record_open(int dirfd, const char *path, int flags, mode_t mode, int (*call)(void *), void *ctx) {
    char rel[PATH_MAX];
    if (!active) return call(ctx);
    pthread_mutex_lock(&lock);
    if (!active || !relative_path(dirfd, path, rel, sizeof rel)) {
        pthread_mutex_unlock(&lock);
        return call(ctx);
    }
    struct stat before;
    int existed = fstatat(dirfd, path, &before, AT_SYMLINK_NOFOLLOW) == 0;
    int fd = call(ctx);
    int err = errno;
    Line l;
    begin(&l, "open");
    put_path(&l, "path", rel);
    put(&l, ",\"flags\":%d,\"mode\":%u", flags, (unsigned)mode);
    put_result(&l, fd, err);
    if (fd >= 0) {
        struct stat st;
        int is_dir = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
        put(&l, ",\"fd\":%d,\"created\":%d,\"dir\":%d,\"ino\":%llu", fd, !existed, is_dir,
            (unsigned long long)st.st_ino);
        if (fd < MAX_FD) tracked[fd] = 1;
    }
    finish(&l);
    pthread_mutex_unlock(&lock);
    errno = err;
    return fd;
}

typedef struct {
    int which, dirfd, flags;
    const char *path;
    mode_t mode;
} OpenCall;

static int do_open(void *p) {
    OpenCall *c = p;
    switch (c->which) {
        case 0: return R(open)(c->path, c->flags, c->mode);
        case 1: return R(open64)(c->path, c->flags, c->mode);
        case 2: return R(openat)(c->dirfd, c->path, c->flags, c->mode);
        case 3: return R(openat64)(c->dirfd, c->path, c->flags, c->mode);
        case 4: return R(creat)(c->path, c->mode);
        case 5: return R(creat64)(c->path, c->mode);
        case 6: return R(__open_2)(c->path, c->flags);
        case 7: return R(__open64_2)(c->path, c->flags);
        case 8: return R(__openat_2)(c->dirfd, c->path, c->flags);
        default: return R(__openat64_2)(c->dirfd, c->path, c->flags);
    }
}

static int open_via(int which, int dirfd, const char *path, int flags, mode_t mode) {
    OpenCall c = {which, dirfd, flags, path, mode};
    return record_open(dirfd, path, flags, mode, do_open, &c);
}

#define MODE_ARG(flags) \
    mode_t mode = 0; \
    if (((flags) & O_CREAT) || ((flags) & __O_TMPFILE) == __O_TMPFILE) { va_list ap; va_start(ap, flags); mode = va_arg(ap, mode_t); va_end(ap); }

int open(const char *path, int flags, ...) { MODE_ARG(flags); return open_via(0, AT_FDCWD, path, flags, mode); }
int open64(const char *path, int flags, ...) { MODE_ARG(flags); return open_via(1, AT_FDCWD, path, flags, mode); }
int openat(int d, const char *path, int flags, ...) { MODE_ARG(flags); return open_via(2, d, path, flags, mode); }
int openat64(int d, const char *path, int flags, ...) { MODE_ARG(flags); return open_via(3, d, path, flags, mode); }
int creat(const char *path, mode_t mode) { return open_via(4, AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, mode); }
int creat64(const char *path, mode_t mode) { return open_via(5, AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, mode); }
int __open_2(const char *path, int flags) { return open_via(6, AT_FDCWD, path, flags, 0); }
int __open64_2(const char *path, int flags) { return open_via(7, AT_FDCWD, path, flags, 0); }
int __openat_2(int d, const char *path, int flags) { return open_via(8, d, path, flags, 0); }
int __openat64_2(int d, const char *path, int flags) { return open_via(9, d, path, flags, 0); }

/* ---- writes ----------------------------------------------------------- */

/* Cuts `n` down to what the simulated disk still holds; 0 means full. */
static size_t room_for(size_t n) {
    if (space_left < 0) return n;
    return (long long)n > space_left ? (size_t)space_left : n;
}

static void take_room(ssize_t w) {
    if (space_left >= 0 && w > 0) space_left -= w;
}

/* Logs one completed write of `iov` (`ret` bytes taken) at `offset`, or
   at the position the descriptor had before it when `offset` < 0. */
static void log_write(const char *op, int fd, const struct iovec *iov, int count, long long offset, ssize_t ret,
                      int err) {
    if (offset < 0 && ret >= 0) offset = (long long)lseek(fd, 0, SEEK_CUR) - ret;
    long long at = data_end;
    size_t left = ret > 0 ? (size_t)ret : 0;
    for (int i = 0; i < count && left > 0; ++i) {
        size_t k = iov[i].iov_len < left ? iov[i].iov_len : left;
        save_bytes(iov[i].iov_base, k);
        left -= k;
    }
    Line l;
    begin(&l, op);
    put(&l, ",\"fd\":%d,\"offset\":%lld,\"at\":%lld", fd, offset, at);
    put_result(&l, ret, err);
    finish(&l);
}

/* The shared body of the write family. `offset` < 0: the current
   position. `call` performs the (possibly shortened) write. */
typedef ssize_t (*WriteCall)(int fd, const struct iovec *iov, int count, long long offset, int flags);

static ssize_t record_write(const char *op, int fd, const struct iovec *iov, int count, long long offset, int flags,
                            WriteCall call) {
    if (!active || !is_tracked(fd)) return call(fd, iov, count, offset, flags);
    pthread_mutex_lock(&lock);
    if (!active || !is_tracked(fd)) {
        pthread_mutex_unlock(&lock);
        return call(fd, iov, count, offset, flags);
    }
    size_t total = 0;
    for (int i = 0; i < count; ++i) total += iov[i].iov_len;
    size_t allowed = room_for(total);
    ssize_t ret;
    int err = 0;
    if (allowed == 0 && total > 0) {
        ret = -1;
        err = ENOSPC;
    } else if (allowed < total) {
        /* A short write of what still fits. */
        struct iovec cut[64];
        int k = 0;
        size_t left = allowed;
        for (int i = 0; i < count && left > 0 && k < 64; ++i, ++k) {
            cut[k] = iov[i];
            if (cut[k].iov_len > left) cut[k].iov_len = left;
            left -= cut[k].iov_len;
        }
        ret = call(fd, cut, k, offset, flags);
        err = errno;
    } else {
        ret = call(fd, iov, count, offset, flags);
        err = errno;
    }
    take_room(ret);
    log_write(op, fd, iov, count, offset, ret, err);
    pthread_mutex_unlock(&lock);
    errno = err;
    return ret;
}

static ssize_t call_write(int fd, const struct iovec *v, int n, long long off, int flags) {
    (void)off; (void)flags; (void)n;
    return R(write)(fd, v[0].iov_base, v[0].iov_len);
}
static ssize_t call_pwrite(int fd, const struct iovec *v, int n, long long off, int flags) {
    (void)flags; (void)n;
    return R(pwrite64)(fd, v[0].iov_base, v[0].iov_len, (off64_t)off);
}
static ssize_t call_writev(int fd, const struct iovec *v, int n, long long off, int flags) {
    (void)off; (void)flags;
    return R(writev)(fd, v, n);
}
static ssize_t call_pwritev(int fd, const struct iovec *v, int n, long long off, int flags) {
    (void)flags;
    return R(pwritev64)(fd, v, n, (off64_t)off);
}
static ssize_t call_pwritev2(int fd, const struct iovec *v, int n, long long off, int flags) {
    return R(pwritev64v2)(fd, v, n, (off64_t)off, flags);
}

ssize_t write(int fd, const void *p, size_t n) {
    struct iovec v = {(void *)p, n};
    return record_write("write", fd, &v, 1, -1, 0, call_write);
}
ssize_t pwrite(int fd, const void *p, size_t n, off_t at) {
    struct iovec v = {(void *)p, n};
    return record_write("write", fd, &v, 1, at, 0, call_pwrite);
}
ssize_t pwrite64(int fd, const void *p, size_t n, off64_t at) {
    struct iovec v = {(void *)p, n};
    return record_write("write", fd, &v, 1, at, 0, call_pwrite);
}
ssize_t writev(int fd, const struct iovec *v, int n) { return record_write("write", fd, v, n, -1, 0, call_writev); }
ssize_t pwritev(int fd, const struct iovec *v, int n, off_t at) {
    return record_write("write", fd, v, n, at, 0, call_pwritev);
}
ssize_t pwritev64(int fd, const struct iovec *v, int n, off64_t at) {
    return record_write("write", fd, v, n, at, 0, call_pwritev);
}
/* An offset of -1 means the current position; RWF_APPEND the end. */
ssize_t pwritev2(int fd, const struct iovec *v, int n, off_t at, int flags) {
    return record_write((flags & RWF_APPEND) ? "write_append" : "write", fd, v, n, at, flags, call_pwritev2);
}
ssize_t pwritev64v2(int fd, const struct iovec *v, int n, off64_t at, int flags) {
    return record_write((flags & RWF_APPEND) ? "write_append" : "write", fd, v, n, at, flags, call_pwritev2);
}

/* ---- calls on a descriptor --------------------------------------------- */

#define FD_CALL(op, fd, call, extra_fmt, ...) do { \
    if (!active || !is_tracked(fd)) return call; \
    pthread_mutex_lock(&lock); \
    if (!active || !is_tracked(fd)) { pthread_mutex_unlock(&lock); return call; } \
    long long ret_ = (long long)(call); int err_ = errno; \
    Line l_; begin(&l_, op); put(&l_, ",\"fd\":%d" extra_fmt, fd, __VA_ARGS__); put_result(&l_, ret_, err_); \
    finish(&l_); pthread_mutex_unlock(&lock); errno = err_; return ret_; } while (0)

int ftruncate(int fd, off_t size) { FD_CALL("ftruncate", fd, R(ftruncate)(fd, size), ",\"size\":%lld", (long long)size); }
int ftruncate64(int fd, off64_t size) {
    FD_CALL("ftruncate", fd, R(ftruncate64)(fd, size), ",\"size\":%lld", (long long)size);
}
int fsync(int fd) { FD_CALL("fsync", fd, R(fsync)(fd), "%s", ""); }
int fdatasync(int fd) { FD_CALL("fdatasync", fd, R(fdatasync)(fd), "%s", ""); }
int sync_file_range(int fd, off64_t at, off64_t n, unsigned int flags) {
    FD_CALL("sync_file_range", fd, R(sync_file_range)(fd, at, n, flags), ",\"offset\":%lld,\"len\":%lld,\"flags\":%u",
            (long long)at, (long long)n, flags);
}
int syncfs(int fd) { FD_CALL("sync", fd, R(syncfs)(fd), "%s", ""); }
int fchmod(int fd, mode_t mode) { FD_CALL("fchmod", fd, R(fchmod)(fd, mode), ",\"mode\":%u", (unsigned)mode); }
int fallocate(int fd, int mode, off_t at, off_t n) {
    FD_CALL("unmodelled:fallocate", fd, R(fallocate)(fd, mode, at, n), "%s", "");
}
int fallocate64(int fd, int mode, off64_t at, off64_t n) {
    FD_CALL("unmodelled:fallocate", fd, R(fallocate64)(fd, mode, at, n), "%s", "");
}
/* These two return an error number instead of setting errno. */
int posix_fallocate(int fd, off_t at, off_t n) {
    FD_CALL("unmodelled:fallocate", fd, R(posix_fallocate)(fd, at, n), "%s", "");
}
int posix_fallocate64(int fd, off64_t at, off64_t n) {
    FD_CALL("unmodelled:fallocate", fd, R(posix_fallocate64)(fd, at, n), "%s", "");
}
ssize_t copy_file_range(int in, off64_t *in_at, int out, off64_t *out_at, size_t n, unsigned int flags) {
    FD_CALL("unmodelled:copy_file_range", out, R(copy_file_range)(in, in_at, out, out_at, n, flags), "%s", "");
}
ssize_t sendfile(int out, int in, off_t *at, size_t n) {
    FD_CALL("unmodelled:sendfile", out, R(sendfile)(out, in, at, n), "%s", "");
}
ssize_t sendfile64(int out, int in, off64_t *at, size_t n) {
    FD_CALL("unmodelled:sendfile", out, R(sendfile64)(out, in, at, n), "%s", "");
}
int dup(int fd) { FD_CALL("unmodelled:dup", fd, R(dup)(fd), "%s", ""); }
int dup2(int fd, int to) { FD_CALL("unmodelled:dup", fd, R(dup2)(fd, to), "%s", ""); }
int dup3(int fd, int to, int flags) { FD_CALL("unmodelled:dup", fd, R(dup3)(fd, to, flags), "%s", ""); }

int close(int fd) {
    if (!active || !is_tracked(fd)) return R(close)(fd);
    pthread_mutex_lock(&lock);
    if (!active || !is_tracked(fd)) {
        pthread_mutex_unlock(&lock);
        return R(close)(fd);
    }
    int ret = R(close)(fd);
    int err = errno;
    tracked[fd] = 0;
    Line l;
    begin(&l, "close");
    put(&l, ",\"fd\":%d", fd);
    put_result(&l, ret, err);
    finish(&l);
    pthread_mutex_unlock(&lock);
    errno = err;
    return ret;
}

static void *record_mmap(void *addr, size_t n, int prot, int flags, int fd, off64_t at, int wide) {
    void *p = wide ? R(mmap64)(addr, n, prot, flags, fd, at) : R(mmap)(addr, n, prot, flags, fd, (off_t)at);
    if (!active || !is_tracked(fd) || !(prot & PROT_WRITE) || !(flags & MAP_SHARED)) return p;
    int err = errno;
    pthread_mutex_lock(&lock);
    Line l;
    begin(&l, "unmodelled:mmap");
    put(&l, ",\"fd\":%d", fd);
    put_result(&l, p == MAP_FAILED ? -1 : 0, err);
    finish(&l);
    pthread_mutex_unlock(&lock);
    errno = err;
    return p;
}
void *mmap(void *addr, size_t n, int prot, int flags, int fd, off_t at) {
    return record_mmap(addr, n, prot, flags, fd, at, 0);
}
void *mmap64(void *addr, size_t n, int prot, int flags, int fd, off64_t at) {
    return record_mmap(addr, n, prot, flags, fd, at, 1);
}

void sync(void) {
    R(sync)();
    if (!active) return;
    pthread_mutex_lock(&lock);
    if (active) {
        Line l;
        begin(&l, "sync");
        put_result(&l, 0, 0);
        finish(&l);
    }
    pthread_mutex_unlock(&lock);
}

/* ---- calls on names --------------------------------------------------- */

/* Performs `call` and logs it when one of its names (two when `two`) lies
   below the root. */
#define NAME_CALL(op, two, d1, p1, d2, p2, call, extra_fmt, ...) do { \
    if (!active) return call; \
    pthread_mutex_lock(&lock); \
    char r1_[PATH_MAX], r2_[PATH_MAX]; \
    int in1_ = active && relative_path(d1, p1, r1_, sizeof r1_); \
    int in2_ = active && (two) && relative_path(d2, p2, r2_, sizeof r2_); \
    if (!in1_ && !in2_) { pthread_mutex_unlock(&lock); return call; } \
    long long ret_ = (long long)(call); int err_ = errno; \
    Line l_; begin(&l_, op); \
    if (in1_) put_path(&l_, "path", r1_); else put(&l_, ",\"path\":null"); \
    if (two) { if (in2_) put_path(&l_, "path2", r2_); else put(&l_, ",\"path2\":null"); } \
    put(&l_, extra_fmt, __VA_ARGS__); put_result(&l_, ret_, err_); finish(&l_); \
    pthread_mutex_unlock(&lock); errno = err_; return ret_; } while (0)

int rename(const char *from, const char *to) {
    NAME_CALL("rename", 1, AT_FDCWD, from, AT_FDCWD, to, R(rename)(from, to), "%s", "");
}
int renameat(int d1, const char *from, int d2, const char *to) {
    NAME_CALL("rename", 1, d1, from, d2, to, R(renameat)(d1, from, d2, to), "%s", "");
}
int renameat2(int d1, const char *from, int d2, const char *to, unsigned int flags) {
    NAME_CALL("rename", 1, d1, from, d2, to, R(renameat2)(d1, from, d2, to, flags), ",\"flags\":%u", flags);
}
int link(const char *from, const char *to) {
    NAME_CALL("link", 1, AT_FDCWD, from, AT_FDCWD, to, R(link)(from, to), "%s", "");
}
int linkat(int d1, const char *from, int d2, const char *to, int flags) {
    NAME_CALL("link", 1, d1, from, d2, to, R(linkat)(d1, from, d2, to, flags), ",\"flags\":%d", flags);
}
int unlink(const char *path) { NAME_CALL("unlink", 0, AT_FDCWD, path, AT_FDCWD, NULL, R(unlink)(path), "%s", ""); }
int unlinkat(int d, const char *path, int flags) {
    NAME_CALL((flags & AT_REMOVEDIR) ? "rmdir" : "unlink", 0, d, path, AT_FDCWD, NULL, R(unlinkat)(d, path, flags),
              "%s", "");
}
int rmdir(const char *path) { NAME_CALL("rmdir", 0, AT_FDCWD, path, AT_FDCWD, NULL, R(rmdir)(path), "%s", ""); }
int mkdir(const char *path, mode_t mode) {
    NAME_CALL("mkdir", 0, AT_FDCWD, path, AT_FDCWD, NULL, R(mkdir)(path, mode), ",\"mode\":%u", (unsigned)mode);
}
int mkdirat(int d, const char *path, mode_t mode) {
    NAME_CALL("mkdir", 0, d, path, AT_FDCWD, NULL, R(mkdirat)(d, path, mode), ",\"mode\":%u", (unsigned)mode);
}
int truncate(const char *path, off_t size) {
    NAME_CALL("truncate", 0, AT_FDCWD, path, AT_FDCWD, NULL, R(truncate)(path, size), ",\"size\":%lld",
              (long long)size);
}
int truncate64(const char *path, off64_t size) {
    NAME_CALL("truncate", 0, AT_FDCWD, path, AT_FDCWD, NULL, R(truncate64)(path, size), ",\"size\":%lld",
              (long long)size);
}
int chmod(const char *path, mode_t mode) {
    NAME_CALL("chmod", 0, AT_FDCWD, path, AT_FDCWD, NULL, R(chmod)(path, mode), ",\"mode\":%u", (unsigned)mode);
}
int fchmodat(int d, const char *path, mode_t mode, int flags) {
    NAME_CALL("chmod", 0, d, path, AT_FDCWD, NULL, R(fchmodat)(d, path, mode, flags), ",\"mode\":%u",
              (unsigned)mode);
}
int symlink(const char *target, const char *path) {
    NAME_CALL("unmodelled:symlink", 0, AT_FDCWD, path, AT_FDCWD, NULL, R(symlink)(target, path), "%s", "");
}
int symlinkat(const char *target, int d, const char *path) {
    NAME_CALL("unmodelled:symlink", 0, d, path, AT_FDCWD, NULL, R(symlinkat)(target, d, path), "%s", "");
}
