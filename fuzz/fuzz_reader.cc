// libFuzzer target: any byte string as a store file. The reader opens it
// with and without the checksum check and, when it opens, answers every
// query; each answer is compared with the plain model in fuzz_common.h, so
// the target finds wrong results as well as crashes, overreads and hangs.
#include <algorithm>
#include <cstdint>
#include <map>
#include <string>

#include "core/reader/reader.h"
#include "fuzz_common.h"

namespace {

using zelkor::CoreError;
using zelkor::Reader;
using zelkor::Result;
using namespace zelkor_fuzz;

void check_fetch(const Reader& reader, const std::uint8_t* d, std::size_t n, std::uint64_t offset) {
  const Result<std::string_view> got = reader.fetch(offset);
  const ModelFetch want = model_fetch(d, n, offset);
  if (want.error) {
    ZF_CHECK(!got.ok(), "fetch at " + std::to_string(offset) + " should fail");
    ZF_CHECK(got.error().kind() == CoreError::Kind::Corrupt, "fetch error kind");
    ZF_CHECK(got.error().render() == *want.error, got.error().render() + " != " + *want.error);
    return;
  }
  ZF_CHECK(got.ok(), "fetch at " + std::to_string(offset) + ": " + got.error().render());
  const std::string_view payload = got.value();
  const std::string_view file = reader.file();
  // The view lies inside the map, where the model says it does.
  ZF_CHECK(payload.size() == want.payload.size(), "payload size");
  ZF_CHECK(payload.empty() || (payload.data() >= file.data() && payload.data() + payload.size() <= file.data() + file.size()),
           "payload outside the map");
  ZF_CHECK(payload == want.payload, "payload bytes");
}

// Every query of an open reader against the model's entries.
void check_queries(const Reader& reader, const std::uint8_t* d, std::size_t n, const ModelOpen& m) {
  ZF_CHECK(reader.entry_count() == m.entries.size(), "entry count");
  ZF_CHECK(reader.file_size() == n, "file size");
  ZF_CHECK(reader.header().num_keys == m.num_keys && reader.header().num_objects == m.num_objects &&
               reader.header().index_offset == m.index_offset && reader.header().file_crc32 == m.file_crc,
           "header fields");

  std::map<std::string, std::uint64_t> last;  // a key listed twice: the later entry wins
  bool ascending = true;
  for (std::size_t i = 0; i < m.entries.size(); ++i) {
    ZF_CHECK(reader.key_at(i) == m.entries[i].first, "key " + std::to_string(i));
    ZF_CHECK(reader.object_offset_at(i) == m.entries[i].second, "offset " + std::to_string(i));
    last[m.entries[i].first] = m.entries[i].second;
    if (i > 0 && m.entries[i - 1].first > m.entries[i].first) ascending = false;
  }

  // Exact lookups of every key and of near misses around it.
  std::vector<std::string> probes = {std::string(), std::string(1, '\0'), std::string("\xff\xff", 2)};
  for (const auto& [key, offset] : m.entries) {
    probes.push_back(key);
    if (!key.empty()) {
      probes.push_back(key.substr(0, key.size() - 1));
      std::string flipped = key;
      flipped.back() = static_cast<char>(flipped.back() ^ 1);
      probes.push_back(flipped);
    }
    probes.push_back(key + '\0');
    if (probes.size() > 4096) break;
  }
  for (const std::string& probe : probes) {
    const auto found = reader.find(probe);
    const auto it = last.find(probe);
    ZF_CHECK(found.has_value() == (it != last.end()), "find presence");
    if (found) ZF_CHECK(*found == it->second, "find offset");
  }

  // Every distinct offset, plus the file's edges.
  std::vector<std::uint64_t> offsets;
  for (const auto& e : m.entries) offsets.push_back(e.second);
  for (std::uint64_t delta = 0; delta <= 9; ++delta) {
    offsets.push_back(n >= delta ? n - delta : 0);
  }
  offsets.push_back(~std::uint64_t{0});
  offsets.push_back(~std::uint64_t{0} - 7);
  offsets.push_back(~std::uint64_t{0} - 8);
  std::sort(offsets.begin(), offsets.end());
  offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
  for (std::uint64_t o : offsets) check_fetch(reader, d, n, o);

  // Prefix runs: the start is within range; on a sorted index it is the
  // first key not below the prefix and the run is exactly the matching keys.
  for (std::size_t p = 0; p < probes.size() && p < 256; ++p) {
    const std::string& prefix = probes[p];
    const std::size_t start = reader.lower_bound(prefix);
    ZF_CHECK(start <= reader.entry_count(), "lower_bound in range");
    std::size_t run = 0;
    for (std::size_t i = start; i < reader.entry_count() && reader.key_has_prefix(i, prefix); ++i) {
      ZF_CHECK(reader.key_at(i).substr(0, prefix.size()) == prefix, "prefix match");
      ++run;
    }
    if (ascending) {
      const auto first = std::partition_point(m.entries.begin(), m.entries.end(),
                                              [&](const auto& e) { return e.first < prefix; });
      ZF_CHECK(start == static_cast<std::size_t>(first - m.entries.begin()), "lower_bound on a sorted index");
      std::size_t want_run = 0;
      for (auto it = first; it != m.entries.end() && it->first.starts_with(prefix); ++it) ++want_run;
      ZF_CHECK(run == want_run, "prefix run length");
    }
  }

  const zelkor::Status verified = reader.verify();
  const std::optional<std::string> want = model_verify(d, n, m);
  ZF_CHECK(verified.ok() == !want.has_value(), want ? *want : verified.error().render());
  if (want) ZF_CHECK(verified.error().render() == *want, verified.error().render() + " != " + *want);
}

ImageFile& image() {
  static ImageFile file;
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  image().set(data, size);
  for (bool check_crc : {false, true}) {
    const ModelOpen m = model_open(data, size, check_crc);
    Result<Reader> opened = Reader::open(image().path(), check_crc);
    if (m.error) {
      ZF_CHECK(!opened.ok(), "open should fail with " + *m.error);
      const CoreError& e = opened.error();
      ZF_CHECK(e.kind() == CoreError::Kind::Corrupt || e.kind() == CoreError::Kind::Version, e.render());
      ZF_CHECK(e.render() == *m.error, e.render() + " != " + *m.error);
      continue;
    }
    ZF_CHECK(opened.ok(), "open failed: " + opened.error().render());
    check_queries(opened.value(), data, size, m);
  }
  return 0;
}
