#include "atomic_output.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "temp_path.h"

namespace zelkor {

namespace {

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

Status write_all_at(int fd, const char* p, std::size_t n, std::uint64_t offset) {
  while (n > 0) {
    const ssize_t w = ::pwrite(fd, p, std::min(n, MAX_WRITE_CHUNK), static_cast<off_t>(offset));
    if (w < 0) {
      if (errno == EINTR) continue;
      return CoreError::os(errno);
    }
    if (w == 0) return CoreError::io("failed to write whole buffer");
    p += w;
    n -= static_cast<std::size_t>(w);
    offset += static_cast<std::uint64_t>(w);
  }
  return Status();
}

template <typename Call>
int retry_on_interrupt(Call call) {
  int rc;
  do {
    rc = call();
  } while (rc != 0 && errno == EINTR);
  return rc;
}

bool same_file(const struct stat& a, const struct stat& b) noexcept {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens the temporary file and locks it. Another build may rename the file
// away while this one waits for the lock; then the descriptor holds a file
// no longer at temp_path and the open starts over on the new one.
Result<FileDescriptor> open_locked(const std::string& temp_path) {
  for (;;) {
    // A symbolic link at the temporary path is refused rather than followed:
    // following it would overwrite whatever file it names.
    FileDescriptor fd(::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!fd.valid()) return CoreError::os(errno, "open tmp");
    if (retry_on_interrupt([&] { return ::flock(fd.get(), LOCK_EX); }) != 0) {
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
  // Some file systems cannot sync a directory; they report EINVAL.
  if (retry_on_interrupt([&] { return ::fsync(fd.get()); }) != 0 && errno != EINVAL) return CoreError::os(errno);
  return Status();
}

}  // namespace

AtomicFile::AtomicFile(std::string path, std::string temp_path, FileDescriptor fd)
    : path_(std::move(path)),
      temp_path_(std::move(temp_path)),
      fd_(std::move(fd)),
      buffer_(std::make_unique<char[]>(BUFFER_SIZE)) {}

Result<AtomicFile> AtomicFile::create(std::string path, std::string temp_path) {
  if (path.find('\0') != std::string::npos || temp_path.find('\0') != std::string::npos) {
    return CoreError::io("open tmp: file name contains a NUL byte");
  }
  Result<FileDescriptor> opened = open_locked(temp_path);
  if (!opened.ok()) return std::move(opened).error();
  FileDescriptor fd = std::move(opened).value();
  if (retry_on_interrupt([&] { return ::ftruncate(fd.get(), 0); }) != 0) return CoreError::os(errno, "open tmp");
  return AtomicFile(std::move(path), std::move(temp_path), std::move(fd));
}

Status AtomicFile::write(std::string_view piece) {
  if (used_ + piece.size() > BUFFER_SIZE) {
    if (Status s = flush(); !s.ok()) return s;
  }
  if (piece.size() >= BUFFER_SIZE) {
    if (Status s = write_all(fd_.get(), piece.data(), piece.size(), "failed to write whole buffer"); !s.ok()) {
      return s;
    }
    written_ += piece.size();
    return Status();
  }
  if (!piece.empty()) std::memcpy(buffer_.get() + used_, piece.data(), piece.size());
  used_ += piece.size();
  return Status();
}

Status AtomicFile::flush() {
  const std::size_t n = std::exchange(used_, 0);
  if (Status s = write_all(fd_.get(), buffer_.get(), n, "failed to write the buffered data"); !s.ok()) return s;
  written_ += n;
  return Status();
}

Result<std::uint64_t> AtomicFile::reserve(std::uint64_t size) {
  if (Status s = flush(); !s.ok()) return std::move(s).error();
  const std::uint64_t start = written_;
  // Later appends go after the reserved range.
  if (::lseek(fd_.get(), static_cast<off_t>(start + size), SEEK_SET) < 0) return CoreError::os(errno);
  written_ = start + size;
  return start;
}

Status AtomicFile::write_reserved(std::uint64_t offset, std::string_view bytes) const {
  return write_all_at(fd_.get(), bytes.data(), bytes.size(), offset);
}

void AtomicFile::start_writeback() noexcept {
#ifdef SYNC_FILE_RANGE_WRITE
  if (written_ > 0) ::sync_file_range(fd_.get(), 0, static_cast<off_t>(written_), SYNC_FILE_RANGE_WRITE);
#endif
}

Status AtomicFile::overwrite(std::uint64_t offset, std::string_view bytes) {
  // Bytes at or past `written_` are still in the buffer.
  const std::uint64_t end = offset + bytes.size();
  const std::size_t on_disk = offset < written_ ? static_cast<std::size_t>(std::min(end, written_) - offset) : 0;
  if (on_disk > 0) {
    if (Status s = write_all_at(fd_.get(), bytes.data(), on_disk, offset); !s.ok()) return s;
  }
  if (on_disk < bytes.size()) {
    std::memcpy(buffer_.get() + (offset + on_disk - written_), bytes.data() + on_disk, bytes.size() - on_disk);
  }
  return Status();
}

Status AtomicFile::commit() {
  if (Status s = flush(); !s.ok()) return s;
  if (retry_on_interrupt([&] { return ::fsync(fd_.get()); }) != 0) return CoreError::os(errno);
  if (::rename(temp_path_.c_str(), path_.c_str()) != 0) return CoreError::os(errno, "rename");
  fd_.reset();  // releases the lock only now that the file has its final name
  return sync_directory(containing_directory(temp_path_));
}

}  // namespace zelkor
