// Turning a writer's content into a store file at a path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "../util/result.h"
#include "compressed_records.h"
#include "writer.h"

namespace zelkor {

struct BuildSummary {
  std::uint64_t objects = 0;
  std::uint64_t keys = 0;
  std::uint64_t file_size = 0;
  std::uint32_t file_crc32 = 0;
};

// How a store is laid out beyond what every store holds. The default is
// the plain layout: object records in id order, nothing after the index.
struct BuildOptions {
  // The mapped layout: the object records in the key order of each
  // object's first key (objects without a key last, in id order), so that
  // walks in key order read the data section front to back, and the mapped
  // index after the index section, which a reader maps instead of indexing
  // the keys itself. Object ids are unchanged.
  bool mapped_index = false;
  // With the mapped index: bytes the file carries for its readers, opaque
  // to the store.
  std::string_view metadata;
  // With the mapped index: every object's payload compressed with zstd
  // (writer/compressed_records.h), the codec description in the metadata
  // section before `metadata`. Readers that decode hand the payloads back
  // as they were added.
  std::optional<CompressionOptions> compression;
};

// Lays out the whole file in memory, checks the format maximums, and writes
// it atomically to `path`. Reads the writer and never changes it.
Result<BuildSummary> build_store(const Writer& writer, const std::string& path,
                                 const BuildOptions& options = BuildOptions());

// "✅  {path}  —  {objects} objects · {keys} keys · {size_kb} KB\n", the size
// in KiB with one decimal, rounded half to even.
std::string summary_line(std::string_view path, const BuildSummary& summary);

}  // namespace zelkor
