// Turning a writer's content into a store file at a path.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "../util/result.h"
#include "writer.h"

namespace zelkor {

struct BuildSummary {
  std::uint64_t objects = 0;
  std::uint64_t keys = 0;
  std::uint64_t file_size = 0;
};

// Lays out the whole file in memory, checks the format maximums, and writes
// it atomically to `path`. Reads the writer and never changes it.
Result<BuildSummary> build_store(const Writer& writer, const std::string& path);

// "✅  {path}  —  {objects} objects · {keys} keys · {size_kb} KB\n", the size
// in KiB with one decimal, rounded half to even.
std::string summary_line(std::string_view path, const BuildSummary& summary);

}  // namespace zelkor
