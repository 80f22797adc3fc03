// Puts a complete file at a path so that the path never shows a partial
// one: write a temporary file beside it, force it to disk, rename it over
// the path, then flush the directory so the rename itself is durable.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "../platform/file.h"
#include "../util/result.h"

namespace zelkor {

class AtomicFile {
 public:
  static constexpr std::size_t BUFFER_SIZE = 8192;

  // Creates a new file at `temp_path` for writing; a stale file found there
  // is removed first, never written into. The file is held under an
  // exclusive advisory lock from before it is written until after the
  // rename, and a build finding a file at `temp_path` waits for that file's
  // lock first, so concurrent builds to one path take turns instead of
  // interleaving. Failure: "open tmp: {os error}".
  static Result<AtomicFile> create(std::string path, std::string temp_path);

  AtomicFile(AtomicFile&&) noexcept = default;
  AtomicFile& operator=(AtomicFile&&) noexcept = default;

  // Appends through the buffer: pieces gather until the buffer would
  // overflow; a piece at least as large as the buffer goes out directly.
  Status write(std::string_view piece);
  // Writes out what the buffer holds.
  Status flush();
  // Empties the buffer and sets aside the next `size` bytes of the file,
  // to be filled by write_reserved; returns the offset where they start.
  Result<std::uint64_t> reserve(std::uint64_t size);
  // Writes `bytes` at `offset`, inside a range set aside by reserve. Calls
  // for disjoint places may run on several threads at once.
  Status write_reserved(std::uint64_t offset, std::string_view bytes) const;
  // Asks the OS to start writing what has been handed to it out to disk,
  // without waiting; the final sync then has less left to do. A hint.
  void start_writeback() const noexcept;
  // Replaces bytes already appended, whether still buffered or written.
  Status overwrite(std::uint64_t offset, std::string_view bytes);
  // Empties the buffer, gives the file the read, write and execute bits of
  // the regular file it replaces (never set-user-ID, set-group-ID or
  // sticky), or a new file's default bits when there is none (until then
  // it is readable by its owner alone), syncs it to disk and renames it
  // over the path; then releases the lock and flushes the directory. After
  // a failed rename the complete file stays at the temporary path.
  Status commit();

 private:
  AtomicFile(std::string path, std::string temp_path, platform::File file);
  Status give_final_access_bits();

  std::string path_;
  std::string temp_path_;
  platform::File file_;
  std::uint64_t written_ = 0;  // bytes handed to the OS so far
  std::size_t used_ = 0;
  std::unique_ptr<char[]> buffer_;
};

}  // namespace zelkor
