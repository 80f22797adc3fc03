// A whole file mapped read-only into memory. The view stays valid after the
// File it came from is closed, and while the file is renamed over or
// removed. An empty file is an empty view with no mapping behind it.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

#include "../util/result.h"
#include "file.h"

namespace zelkor::platform {

class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  MappedFile(MappedFile&& other) noexcept
      : base_(std::exchange(other.base_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  MappedFile& operator=(MappedFile&& other) noexcept {
    if (this != &other) {
      unmap();
      base_ = std::exchange(other.base_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ~MappedFile() { unmap(); }

  // Maps all of `file`, which must be a regular file (anything else fails
  // with the system's error for an unsupported device: ENODEV on POSIX,
  // ERROR_NOT_SUPPORTED on Windows). With `prefault`, the pages
  // are mapped in up front, for a caller about to read every byte anyway.
  // A large mapping is advised for huge pages of the page cache (a hint).
  static Result<MappedFile> map_whole(const File& file, bool prefault);

  std::string_view bytes() const noexcept { return {static_cast<const char*>(base_), size_}; }
  std::uint64_t size() const noexcept { return size_; }

  // Unmaps the whole pages inside [offset, offset + length) from this
  // process; the next read maps them in again from the page cache. For a
  // range read once and copied, so that it stops counting against the
  // process. A hint: it may do nothing.
  void release(std::uint64_t offset, std::uint64_t length) const noexcept;

  // Maps in the pages of [offset, offset + length) now, ahead of a pass
  // over them; a hint only, failures are ignored.
  void populate(std::uint64_t offset, std::uint64_t length) const noexcept;

  // Whether a page fault on the mapping also reads the pages around it from
  // disk (the default). Off, a fault reads only its page: for an open that
  // touches a few pages at both ends of a large file, where the system's
  // read-around would read megabytes. A hint only.
  void read_around(bool on) const noexcept;

 private:
  void unmap() noexcept;

  void* base_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace zelkor::platform
