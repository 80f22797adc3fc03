#include "../file.h"

#include <errno.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "../os_error.h"
#include "features.h"

namespace zelkor::platform {

namespace {

// Linux moves at most this much in one write call; macOS refuses more than
// INT_MAX bytes in one.
constexpr std::size_t MAX_WRITE_CHUNK = 0x7ffff000;

int fd_of(std::intptr_t handle) noexcept { return static_cast<int>(handle); }

template <typename Call>
int retry_on_interrupt(Call call) {
  int rc;
  do {
    rc = call();
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// Writes all of `bytes` through `write(p, n, done)`, a write(2)-like call
// for up to n bytes from p, `done` bytes into `bytes`, going on after a
// write that takes only part; one that takes none fails with the Io error
// `on_zero_write`.
template <typename Write>
Status write_fully(std::string_view bytes, const char* on_zero_write, Write write) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t w = write(bytes.data() + done, std::min(bytes.size() - done, MAX_WRITE_CHUNK), done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (w == 0) return CoreError::io(on_zero_write);
    done += static_cast<std::size_t>(w);
  }
  return Status();
}

// A descriptor that the layer opens and closes for itself.
struct OwnDescriptor {
  int fd;
  ~OwnDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

FileIdentity identity_of(const struct stat& st) noexcept {
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

}  // namespace

void File::close() noexcept {
  if (handle_ != NONE) ::close(fd_of(handle_));
  handle_ = NONE;
}

Result<File> File::open_for_read(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return os_error(errno);
  return File(fd);
}

Result<std::optional<File>> File::create_new(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) return std::optional<File>();
    return os_error(errno);
  }
  return std::optional<File>(File(fd));
}

Result<std::optional<File>> File::open_existing_to_lock(const std::string& path) {
  // Read access is enough for a lock, and a leftover whose bits forbid
  // writing (a store's 0444, given to a temporary file whose rename then
  // failed) must still be lockable; write access is the second try, for
  // bits that allow writing alone.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return std::optional<File>();
    return os_error(errno);
  }
  File file(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return os_error(errno);
  // Only a regular file is a temporary file; a directory or a FIFO is
  // refused as an open for writing would refuse it.
  if (S_ISDIR(st.st_mode)) return os_error(EISDIR);
  if (!S_ISREG(st.st_mode)) return os_error(ENXIO);
  return std::optional<File>(std::move(file));
}

Result<bool> File::lock_exclusive() {
  if (retry_on_interrupt([&] { return ::flock(fd_of(handle_), LOCK_EX); }) != 0) {
    if (errno == EOPNOTSUPP || errno == ENOLCK) return false;
    return os_error(errno);
  }
  return true;
}

Result<FileIdentity> File::identity() const {
  struct stat st {};
  if (::fstat(fd_of(handle_), &st) != 0) return os_error(errno);
  return identity_of(st);
}

Result<std::uint32_t> File::permission_bits() const {
  struct stat st {};
  if (::fstat(fd_of(handle_), &st) != 0) return os_error(errno);
  return static_cast<std::uint32_t>(st.st_mode & 07777);
}

Status File::set_permission_bits(std::uint32_t bits) {
  if (retry_on_interrupt([&] { return ::fchmod(fd_of(handle_), static_cast<mode_t>(bits & 07777)); }) != 0) {
    return os_error(errno);
  }
  return Status();
}

Status File::truncate(std::uint64_t size) {
  if (retry_on_interrupt([&] { return ::ftruncate(fd_of(handle_), static_cast<off_t>(size)); }) != 0) {
    return os_error(errno);
  }
  return Status();
}

Status File::write_all(std::string_view bytes, const char* on_zero_write) {
  const int fd = fd_of(handle_);
  return write_fully(bytes, on_zero_write,
                     [fd](const char* p, std::size_t n, std::size_t) { return ::write(fd, p, n); });
}

Status File::write_all_at(std::uint64_t offset, std::string_view bytes, const char* on_zero_write) const {
  const int fd = fd_of(handle_);
  return write_fully(bytes, on_zero_write, [fd, offset](const char* p, std::size_t n, std::size_t done) {
    return ::pwrite(fd, p, n, static_cast<off_t>(offset + done));
  });
}

Status File::seek(std::uint64_t offset) {
  if (::lseek(fd_of(handle_), static_cast<off_t>(offset), SEEK_SET) < 0) return os_error(errno);
  return Status();
}

void File::start_writeback(std::uint64_t length) const noexcept {
#if ZELKOR_USE_SYNC_FILE_RANGE
  if (length > 0) ::sync_file_range(fd_of(handle_), 0, static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
#else
  (void)length;
#endif
}

Status File::sync() {
#if ZELKOR_USE_FULLFSYNC
  // Not every file system takes F_FULLFSYNC; fsync is then the most there is.
  if (::fcntl(fd_of(handle_), F_FULLFSYNC) == 0) return Status();
#endif
  if (retry_on_interrupt([&] { return ::fsync(fd_of(handle_)); }) != 0) return os_error(errno);
  return Status();
}

std::optional<FileIdentity> identity_at(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  return identity_of(st);
}

std::optional<std::uint32_t> access_bits_at(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint32_t>(st.st_mode & 0777);
}

std::optional<std::uint32_t> default_access_bits() {
  mode_t mask = 0;
  bool known = false;
#if ZELKOR_LINUX_CALLS
  // Linux 4.7 and later show the umask without changing it.
  if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
    char line[256];
    unsigned value = 0;
    while (!known && std::fgets(line, sizeof line, status) != nullptr) {
      known = std::sscanf(line, "Umask: %o", &value) == 1;
    }
    std::fclose(status);
    mask = static_cast<mode_t>(value);
  }
#endif
  if (!known) {
    // Elsewhere the only way to read it is to set it and put it back; a
    // file another thread creates in between gets a umask of 077, which
    // errs on the private side.
    mask = ::umask(077);
    ::umask(mask);
  }
  return static_cast<std::uint32_t>(0666 & ~mask);
}

Status remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return os_error(errno);
  return Status();
}

Status rename_file(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return os_error(errno);
  return Status();
}

Status sync_directory(const std::string& dir) {
  const OwnDescriptor dir_fd{::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (dir_fd.fd < 0) return os_error(errno);
  // Some file systems cannot sync a directory; they report EINVAL.
  if (retry_on_interrupt([&] { return ::fsync(dir_fd.fd); }) != 0 && errno != EINVAL) return os_error(errno);
  return Status();
}

}  // namespace zelkor::platform
