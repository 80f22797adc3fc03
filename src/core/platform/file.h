// Files of the operating system, named by path (UTF-8 text) or held open.
//
// A File owns one open file of the system: a descriptor on POSIX, a handle
// on Windows. Nothing above this layer sees which; the handle stays inside
// File and the platform's own implementation files. A File is closed when it
// is destroyed or closed, and closing releases any lock taken through it.
//
// Every call that fails returns an Io CoreError whose text is the system's
// message for the failure (platform/os_error.h) and nothing else: the
// caller adds what it was doing ("open tmp", "rename", ...). A call that a
// signal interrupts is repeated, never reported.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "../util/result.h"

namespace zelkor::platform {

// Which file an open File or a path refers to (on POSIX the device and
// inode numbers). Two equal identities name one and the same file.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t number = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

class File {
 public:
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept
      : handle_(std::exchange(other.handle_, NONE)), position_(std::exchange(other.position_, 0)) {}
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = std::exchange(other.handle_, NONE);
      position_ = std::exchange(other.position_, 0);
    }
    return *this;
  }
  ~File() { close(); }

  bool is_open() const noexcept { return handle_ != NONE; }
  // Closes the file (ignoring any failure) and releases its lock.
  void close() noexcept;

  // Opens an existing file for reading. No lock is taken, so writers and a
  // rename that replaces the file are never held up. The open itself never
  // waits (a FIFO opens at once, to be refused when it is mapped). The file
  // is not inherited by programs this process starts.
  static Result<File> open_for_read(const std::string& path);

  // Creates a new, empty file at `path` and opens it for writing: owned by
  // this process's user and readable by that user alone (0600, less what
  // the umask takes away), so that nobody else can open it while it is
  // filled; its final bits are the caller's to give. Nothing (no error)
  // when anything at all is already at `path`, a symbolic link included.
  // Not inherited by programs this process starts.
  static Result<std::optional<File>> create_new(const std::string& path);

  // Opens the regular file already at `path`, creating nothing, to take its
  // lock, learn its identity or change its permission bits; it is never
  // written through. Nothing (no error) when no file is there. A symbolic
  // link at `path` is refused rather than followed, and the open never
  // waits: a FIFO fails at once, as does a directory. It succeeds whatever
  // permission bits the file has, as far as the system lets its owner open
  // it at all. Not inherited by programs this process starts.
  static Result<std::optional<File>> open_existing_to_lock(const std::string& path);

  // Takes an exclusive advisory lock on the file, waiting while another
  // open file holds it; others that ask for it then wait until this File is
  // closed. True once locked; false, with no lock, on a file system that
  // has no such locks.
  Result<bool> lock_exclusive();

  // The identity of the open file.
  Result<FileIdentity> identity() const;

  // The file's permission bits: read, write and execute for owner, group
  // and others (0777), with set-user-ID, set-group-ID and sticky (07000).
  Result<std::uint32_t> permission_bits() const;
  // Sets them, as permission_bits() reports them.
  Status set_permission_bits(std::uint32_t bits);

  // Sets the file's length to `size` bytes.
  Status truncate(std::uint64_t size);

  // Writes all of `bytes` at the current position and moves past them,
  // going on after a write that takes only part. A write that takes no
  // bytes at all fails with the Io error `on_zero_write`.
  Status write_all(std::string_view bytes, const char* on_zero_write);

  // Writes all of `bytes` at `offset` as write_all does, without moving the
  // current position. Calls for disjoint ranges may run on several threads
  // at once.
  Status write_all_at(std::uint64_t offset, std::string_view bytes, const char* on_zero_write) const;

  // Moves the current position to `offset` from the start; a later write
  // there leaves a hole (zero bytes) behind it.
  Status seek(std::uint64_t offset);

  // Asks the system to start writing the first `length` bytes out to the
  // disk without waiting for it; the next sync then has less to do. A hint:
  // it may do nothing, and failures are ignored.
  void start_writeback(std::uint64_t length) const noexcept;

  // Returns once the file's data and its metadata are on stable storage (as
  // far as the system and the disk honour the request).
  Status sync();

 private:
  friend class MappedFile;
  // The system's value for "no file": -1 is no descriptor on POSIX and
  // INVALID_HANDLE_VALUE on Windows.
  static constexpr std::intptr_t NONE = -1;
  explicit File(std::intptr_t handle) noexcept : handle_(handle) {}
  std::intptr_t native() const noexcept { return handle_; }

  std::intptr_t handle_ = NONE;
  // Where write_all writes next, on systems whose positional writes move the
  // handle's own position (Windows); POSIX keeps it in the descriptor and
  // leaves this at 0.
  std::uint64_t position_ = 0;
};

// The identity of what `path` names, not following a symbolic link there
// (so a link never has the identity of the file it points to), or nothing
// when it cannot be found out (nothing there, no permission).
std::optional<FileIdentity> identity_at(const std::string& path);

// The read, write and execute bits for owner, group and others (0777) of
// the regular file at `path`, not following a symbolic link; nothing when
// no regular file is there or the system keeps no such bits.
std::optional<std::uint32_t> access_bits_at(const std::string& path);

// The bits a file created now would get by default (0666 less the
// process's umask); nothing where the system keeps no such bits.
std::optional<std::uint32_t> default_access_bits();

// Removes the name `path` (a link there, not the file it points to); the
// file itself lives on while it is open. Succeeds when nothing is there.
Status remove_file(const std::string& path);

// Renames `from` to `to`, replacing any file at `to` in one step: a reader
// of `to` sees the old file or the new one, never neither.
Status rename_file(const std::string& from, const std::string& to);

// Makes the directory's entries durable: a rename or creation inside it
// survives a power loss once this returns. A file system that cannot flush
// a directory counts as flushed.
Status sync_directory(const std::string& dir);

}  // namespace zelkor::platform
