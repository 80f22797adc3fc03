// libFuzzer target: any byte string as a store file read through its
// mapped index. Whatever the trailer's sections hold, every query must stay
// inside the map and end; and when the deep check passes, every answer of
// the mapped index must be the in-memory index's answer.
//
// A mutated trailer rarely keeps its CRC, so the target makes it good
// before opening: the trailer's fields themselves are fuzzed, not only
// whether its CRC happens to match.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/reader/queries.h"
#include "core/reader/reader.h"
#include "fuzz_common.h"

namespace {

using zelkor::OpenOptions;
using zelkor::PositionRange;
using zelkor::Reader;
using zelkor::Result;
using namespace zelkor_fuzz;

constexpr std::size_t TRAILER = 128;

ImageFile& image() {
  static ImageFile file;
  return file;
}

// Every query, results folded into one text so two readers compare.
std::string answers(const Reader& r, const std::vector<std::string>& probes) {
  std::string out;
  const std::size_t n = r.entry_count();
  for (std::size_t i = 0; i < n; ++i) {
    out += r.key_at(i);
    out += '|' + std::to_string(r.object_offset_at(i)) + ';';
    const Result<std::string_view> payload = r.fetch(r.object_offset_at(i));
    out += payload.ok() ? std::string(payload.value()) : payload.error().render();
  }
  std::vector<std::string_view> views(probes.begin(), probes.end());
  std::vector<std::optional<std::uint64_t>> found(views.size());
  zelkor::find_many(r, views, found);
  for (std::size_t p = 0; p < probes.size(); ++p) {
    const std::optional<std::uint64_t> one = r.find(probes[p]);
    ZF_CHECK(one == found[p], "find_many differs from find");
    out += one ? std::to_string(*one) : "-";
    const PositionRange run = zelkor::prefix_range(r, probes[p]);
    ZF_CHECK(run.begin <= run.end && run.end <= n, "prefix range bounds");
    out += '[' + std::to_string(run.begin) + ',' + std::to_string(run.end) + ']';
    const PositionRange keys = zelkor::key_range(r, probes[p], probes[(p + 1) % probes.size()]);
    out += '<' + std::to_string(keys.begin) + ',' + std::to_string(keys.end) + '>';
  }
  zelkor::DistinctObjects walk(r);
  while (const std::optional<std::size_t> i = walk.next()) out += '#' + std::to_string(*i);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> file(data, data + size);
  if (size >= 40 + TRAILER && std::string_view(reinterpret_cast<const char*>(data + size - TRAILER), 8) == "ZLKRMIDX") {
    std::uint8_t* t = file.data() + size - TRAILER;
    const std::uint32_t c = crc32(t, TRAILER - 4);
    for (int i = 0; i < 4; ++i) t[TRAILER - 4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(c >> (24 - 8 * i));
  }
  image().set(file.data(), file.size());
  Result<Reader> mapped = Reader::open(image().path(), false);
  if (!mapped.ok()) return 0;
  const Reader& r = mapped.value();
  std::vector<std::string> probes = {"", std::string(1, '\0'), "\xff\xff"};
  for (std::size_t i = 0; i < r.entry_count() && probes.size() < 40; i += 1 + r.entry_count() / 32) {
    const std::string key(r.key_at(i));
    probes.push_back(key);
    probes.push_back(key + '\0');
    if (!key.empty()) probes.push_back(key.substr(0, key.size() - 1));
  }
  const std::string got = answers(r, probes);
  if (!r.mapped_index() || !r.verify().ok()) return 0;
  Result<Reader> in_memory = Reader::open(image().path(), false, OpenOptions{.use_mapped_index = false});
  ZF_CHECK(in_memory.ok(), "a file whose mapped index checks out must open in memory: " + in_memory.error().render());
  ZF_CHECK(answers(in_memory.value(), probes) == got, "the mapped index answers differently");
  return 0;
}
