#include "atomic_output.h"

#include <algorithm>
#include <cstring>

#include "temp_path.h"

namespace zelkor {

namespace {

constexpr const char* ZERO_WRITE_DIRECT = "failed to write whole buffer";
constexpr const char* ZERO_WRITE_BUFFERED = "failed to write the buffered data";

// Returns a new file at temp_path, created by this build, and locked.
//
// A file already at temp_path belongs to another build of the same path or
// is a leftover (of a failed build, or anything else: a hard link to an
// unrelated file, a file of another user). This build opens it only to take
// its lock, so that it waits while another build holds it; once locked and
// still at temp_path, it is stale and its name is removed, and the build
// creates its own file. So no build ever writes into a file it did not
// create, and the new store gets this build's owner and fresh permissions.
// A build that waited for a lock and finds the file no longer at temp_path
// (renamed over the target by its holder, or removed as stale) starts over.
// A symbolic link there is refused, never followed; a directory or a FIFO
// fails at once.
Result<platform::File> open_locked(const std::string& temp_path) {
  for (;;) {
    Result<std::optional<platform::File>> opened = platform::File::create_new(temp_path);
    if (!opened.ok()) return std::move(opened).error().with_context("open tmp");
    const bool created = opened.value().has_value();
    if (!created) {
      opened = platform::File::open_existing_to_lock(temp_path);
      if (!opened.ok()) return std::move(opened).error().with_context("open tmp");
      if (!opened.value()) continue;  // gone meanwhile
    }
    platform::File file = std::move(*opened.value());
    Result<bool> locked = file.lock_exclusive();
    if (!locked.ok()) return std::move(locked).error().with_context("open tmp");
    // A file system without advisory locks still gets its build.
    if (locked.value()) {
      Result<platform::FileIdentity> held = file.identity();
      if (!held.ok()) return std::move(held).error().with_context("open tmp");
      if (platform::identity_at(temp_path) != held.value()) continue;
    }
    if (created) return file;
    if (Status s = platform::remove_file(temp_path); !s.ok()) return std::move(s).error().with_context("open tmp");
  }
}

}  // namespace

AtomicFile::AtomicFile(std::string path, std::string temp_path, platform::File file)
    : path_(std::move(path)),
      temp_path_(std::move(temp_path)),
      file_(std::move(file)),
      buffer_(std::make_unique<char[]>(BUFFER_SIZE)) {}

Result<AtomicFile> AtomicFile::create(std::string path, std::string temp_path) {
  if (path.find('\0') != std::string::npos || temp_path.find('\0') != std::string::npos) {
    return CoreError::io("open tmp: file name contains a NUL byte");
  }
  Result<platform::File> opened = open_locked(temp_path);
  if (!opened.ok()) return std::move(opened).error();
  platform::File file = std::move(opened).value();
  // Emptied once more under the lock: only a program outside the protocol,
  // one that writes without the lock, can have put anything in it.
  if (Status s = file.truncate(0); !s.ok()) return std::move(s).error().with_context("open tmp");
  return AtomicFile(std::move(path), std::move(temp_path), std::move(file));
}

Status AtomicFile::write(std::string_view piece) {
  if (used_ + piece.size() > BUFFER_SIZE) {
    if (Status s = flush(); !s.ok()) return s;
  }
  if (piece.size() >= BUFFER_SIZE) {
    if (Status s = file_.write_all(piece, ZERO_WRITE_DIRECT); !s.ok()) return s;
    written_ += piece.size();
    return Status();
  }
  if (!piece.empty()) std::memcpy(buffer_.get() + used_, piece.data(), piece.size());
  used_ += piece.size();
  return Status();
}

Status AtomicFile::flush() {
  const std::size_t n = std::exchange(used_, 0);
  if (Status s = file_.write_all({buffer_.get(), n}, ZERO_WRITE_BUFFERED); !s.ok()) return s;
  written_ += n;
  return Status();
}

Result<std::uint64_t> AtomicFile::reserve(std::uint64_t size) {
  if (Status s = flush(); !s.ok()) return std::move(s).error();
  const std::uint64_t start = written_;
  // Later appends go after the reserved range.
  if (Status s = file_.seek(start + size); !s.ok()) return std::move(s).error();
  written_ = start + size;
  return start;
}

Status AtomicFile::write_reserved(std::uint64_t offset, std::string_view bytes) const {
  return file_.write_all_at(offset, bytes, ZERO_WRITE_DIRECT);
}

void AtomicFile::start_writeback() const noexcept { file_.start_writeback(written_); }

Status AtomicFile::overwrite(std::uint64_t offset, std::string_view bytes) {
  // Bytes at or past `written_` are still in the buffer.
  const std::uint64_t end = offset + bytes.size();
  const std::size_t on_disk = offset < written_ ? static_cast<std::size_t>(std::min(end, written_) - offset) : 0;
  if (on_disk > 0) {
    if (Status s = file_.write_all_at(offset, bytes.substr(0, on_disk), ZERO_WRITE_DIRECT); !s.ok()) return s;
  }
  if (on_disk < bytes.size()) {
    std::memcpy(buffer_.get() + (offset + on_disk - written_), bytes.data() + on_disk, bytes.size() - on_disk);
  }
  return Status();
}

Status AtomicFile::give_final_access_bits() {
  // The file was created private; it now takes the bits of the store it
  // replaces, or a new file's default ones when there is none.
  std::optional<std::uint32_t> bits = platform::access_bits_at(path_);
  if (!bits) bits = platform::default_access_bits();
  if (!bits) return Status();
  Result<std::uint32_t> own = file_.permission_bits();
  if (!own.ok()) return std::move(own).error();
  if (own.value() == *bits) return Status();
  return file_.set_permission_bits(*bits);
}

Status AtomicFile::commit() {
  if (Status s = flush(); !s.ok()) return s;
  if (Status s = give_final_access_bits(); !s.ok()) return s;
  if (Status s = file_.sync(); !s.ok()) return s;
  if (Status s = platform::rename_file(temp_path_, path_); !s.ok()) return std::move(s).error().with_context("rename");
  file_.close();  // releases the lock only now that the file has its final name
  return platform::sync_directory(containing_directory(temp_path_));
}

}  // namespace zelkor
