#include "atomic_output.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "../format/file_descriptor.h"
#include "temp_path.h"

namespace zelkor {

namespace {

constexpr std::size_t WRITE_BUFFER_SIZE = 8192;
// Linux moves at most this much in one write call.
constexpr std::size_t MAX_WRITE_CHUNK = 0x7ffff000;

Status write_all(int fd, const char* p, std::size_t n, const char* on_zero_write) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, std::min(n, MAX_WRITE_CHUNK));
    if (w < 0) {
      if (errno == EINTR) continue;
      return CoreError::os(errno);
    }
    if (w == 0) return CoreError::io(on_zero_write);
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return Status();
}

// Output through a fixed buffer: small pieces gather until the buffer would
// overflow; a piece at least as large as the buffer goes out directly.
class BufferedOutput {
 public:
  explicit BufferedOutput(int fd) noexcept : fd_(fd) {}

  Status write(std::string_view piece) {
    if (used_ + piece.size() > WRITE_BUFFER_SIZE) {
      if (Status s = flush(); !s.ok()) return s;
    }
    if (piece.size() >= WRITE_BUFFER_SIZE) {
      return write_all(fd_, piece.data(), piece.size(), "failed to write whole buffer");
    }
    if (!piece.empty()) std::memcpy(buffer_ + used_, piece.data(), piece.size());
    used_ += piece.size();
    return Status();
  }

  Status flush() {
    const std::size_t n = std::exchange(used_, 0);
    return write_all(fd_, buffer_, n, "failed to write the buffered data");
  }

 private:
  int fd_;
  std::size_t used_ = 0;
  char buffer_[WRITE_BUFFER_SIZE];
};

bool same_file(const struct stat& a, const struct stat& b) noexcept {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens the temporary file and locks it. Another build may rename the file
// away while this one waits for the lock; then the descriptor holds a file
// no longer at temp_path and the open starts over on the new one.
Result<FileDescriptor> open_locked_temporary(const std::string& temp_path) {
  for (;;) {
    // A symbolic link at the temporary path is refused rather than followed:
    // following it would overwrite whatever file it names.
    FileDescriptor fd(::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!fd.valid()) return CoreError::os(errno, "open tmp");
    int rc;
    do {
      rc = ::flock(fd.get(), LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      // A file system without advisory locks still gets its build.
      if (errno == EOPNOTSUPP || errno == ENOLCK) return fd;
      return CoreError::os(errno, "open tmp");
    }
    struct stat held {}, named {};
    if (::fstat(fd.get(), &held) != 0) return CoreError::os(errno, "open tmp");
    if (::stat(temp_path.c_str(), &named) == 0 && same_file(held, named)) return fd;
  }
}

Status sync_directory(const std::string& dir) {
  FileDescriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return CoreError::os(errno);
  int rc;
  do {
    rc = ::fsync(fd.get());
  } while (rc != 0 && errno == EINTR);
  // Some file systems cannot sync a directory; they report EINVAL.
  if (rc != 0 && errno != EINVAL) return CoreError::os(errno);
  return Status();
}

}  // namespace

Status write_file_atomically(const std::string& path, const std::string& temp_path, const FileImage& image) {
  if (path.find('\0') != std::string::npos || temp_path.find('\0') != std::string::npos) {
    return CoreError::io("open tmp: file name contains a NUL byte");
  }
  Result<FileDescriptor> opened = open_locked_temporary(temp_path);
  if (!opened.ok()) return std::move(opened).error();
  FileDescriptor fd = std::move(opened).value();
  int rc;
  do {
    rc = ::ftruncate(fd.get(), 0);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return CoreError::os(errno, "open tmp");

  {
    BufferedOutput out(fd.get());
    for (std::string_view piece : {image.header, image.data, image.index}) {
      if (Status s = out.write(piece); !s.ok()) return s;
    }
    if (Status s = out.flush(); !s.ok()) return s;
  }
  do {
    rc = ::fsync(fd.get());
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return CoreError::os(errno);

  if (::rename(temp_path.c_str(), path.c_str()) != 0) return CoreError::os(errno, "rename");
  fd.reset();  // releases the lock only now that the file has its final name
  return sync_directory(containing_directory(temp_path));
}

}  // namespace zelkor
