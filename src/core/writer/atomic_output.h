// Puts a complete file at a path so that the path never shows a partial
// one: write a temporary file beside it, force it to disk, rename it over
// the path, then flush the directory so the rename itself is durable.
#pragma once

#include <string>
#include <string_view>

#include "../format/result.h"

namespace zelkor {

struct FileImage {
  std::string_view header;
  std::string_view data;
  std::string_view index;
};

// Writes `image` (header, data, index, back to back) to `temp_path`, syncs
// it and renames it to `path`. The temporary file is held under an exclusive
// advisory lock from before it is truncated until after the rename, so
// concurrent builds to one path take turns instead of interleaving.
//
// Failures: "open tmp: {os error}" (create, lock or truncate), "{os error}"
// or "failed to write ..." (write, sync), "rename: {os error}", and
// "{os error}" when the directory cannot be flushed after the rename (the
// new file is in place then). Nothing is deleted on failure.
Status write_file_atomically(const std::string& path, const std::string& temp_path, const FileImage& image);

}  // namespace zelkor
