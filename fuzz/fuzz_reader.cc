// libFuzzer target: any byte string as a store file. The reader opens it
// with and without the checksum check and, when it opens, answers every
// query; each answer is compared with the plain model in fuzz_common.h, so
// the target finds wrong results as well as crashes, overreads and hangs.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/reader/queries.h"
#include "core/reader/reader.h"
#include "fuzz_common.h"

namespace {

using zelkor::CoreError;
using zelkor::PositionRange;
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

// The queries over positions, the distinct-object walk and the batch
// lookup, against the primitives and, on a sorted index, the model.
void check_position_queries(const Reader& reader, const ModelOpen& m, const std::vector<std::string>& probes,
                            bool ascending) {
  const std::size_t n = reader.entry_count();
  const auto lower = [&](const std::string& target) {
    return static_cast<std::size_t>(std::partition_point(m.entries.begin(), m.entries.end(),
                                                         [&](const auto& e) { return e.first < target; }) -
                                    m.entries.begin());
  };
  const std::size_t bounded = std::min<std::size_t>(probes.size(), 48);
  for (std::size_t p = 0; p < bounded; ++p) {
    const std::string& prefix = probes[p];
    // The prefix run: from the halving search, exactly as far as keys match.
    const PositionRange run = zelkor::prefix_range(reader, prefix);
    ZF_CHECK(run.begin == reader.lower_bound(prefix) && run.begin <= run.end && run.end <= n, "prefix range bounds");
    for (std::size_t i = run.begin; i < run.end; ++i) ZF_CHECK(reader.key_has_prefix(i, prefix), "prefix range key");
    ZF_CHECK(run.end == n || !reader.key_has_prefix(run.end, prefix), "prefix range end");
    // Key ranges from every pair of bounds, open ends included.
    for (std::size_t q = 0; q < bounded; ++q) {
      const std::string& stop = probes[q];
      const PositionRange range = zelkor::key_range(reader, prefix, stop);
      ZF_CHECK(range.begin == run.begin && range.end == std::max(run.begin, reader.lower_bound(stop)), "key range");
      if (ascending) {
        ZF_CHECK(range.begin == lower(prefix) && range.end == std::max(range.begin, lower(stop)), "key range sorted");
      }
    }
    ZF_CHECK(zelkor::key_range(reader, std::nullopt, prefix) == (PositionRange{0, reader.lower_bound(prefix)}),
             "key range open start");
    ZF_CHECK(zelkor::key_range(reader, prefix, std::nullopt) == (PositionRange{run.begin, n}), "key range open stop");
  }
  ZF_CHECK(zelkor::key_range(reader, std::nullopt, std::nullopt) == (PositionRange{0, n}), "key range open");

  // Windows, clipped to the index.
  const std::int64_t sn = static_cast<std::int64_t>(n);
  constexpr std::int64_t LOW = std::numeric_limits<std::int64_t>::min(), HIGH = std::numeric_limits<std::int64_t>::max();
  for (std::int64_t b : {LOW, std::int64_t{-1}, std::int64_t{0}, std::int64_t{1}, sn - 1, sn, sn + 1, HIGH}) {
    for (std::int64_t e : {LOW, std::int64_t{-1}, std::int64_t{0}, std::int64_t{2}, sn - 1, sn, sn + 1, HIGH}) {
      const auto clip = [&](std::int64_t v) { return static_cast<std::size_t>(std::clamp<std::int64_t>(v, 0, sn)); };
      ZF_CHECK(zelkor::clip_positions(reader, b, e) == (PositionRange{clip(b), std::max(clip(b), clip(e))}),
               "clipped window");
    }
  }

  // The distinct-object walk: the first entry of each offset, in order.
  std::vector<std::size_t> want_distinct;
  std::set<std::uint64_t> seen;
  for (std::size_t i = 0; i < m.entries.size(); ++i) {
    if (seen.insert(m.entries[i].second).second) want_distinct.push_back(i);
  }
  zelkor::DistinctObjects walk(reader);
  std::vector<std::size_t> got_distinct;
  while (const std::optional<std::size_t> i = walk.next()) got_distinct.push_back(*i);
  ZF_CHECK(got_distinct == want_distinct, "distinct objects");
  ZF_CHECK(!walk.next(), "distinct objects after the end");

  // The batch lookup answers as the single one, for every probe and for
  // batches of every length up to a few pipeline depths.
  std::vector<std::string_view> keys(probes.begin(), probes.end());
  std::vector<std::optional<std::uint64_t>> found(keys.size(), std::uint64_t{0});
  zelkor::find_many(reader, keys, found);
  for (std::size_t i = 0; i < keys.size(); ++i) ZF_CHECK(found[i] == reader.find(keys[i]), "batch lookup");
  for (std::size_t length = 0; length <= std::min<std::size_t>(keys.size(), 4 * zelkor::LOOKUP_DISTANCE); ++length) {
    std::vector<std::optional<std::uint64_t>> part(length, std::uint64_t{0});
    zelkor::find_many(reader, {keys.data(), length}, part);
    ZF_CHECK(std::equal(part.begin(), part.end(), found.begin()), "batch lookup of a prefix of the probes");
  }
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

  check_position_queries(reader, m, probes, ascending);

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
  // Each input is opened without and with the checksum, and once more with
  // the index built by two threads however few its keys.
  struct Open {
    bool check_crc;
    std::size_t parallel_from;
  };
  for (const Open how : {Open{false, zelkor::KeyIndex::PARALLEL_FROM}, Open{true, zelkor::KeyIndex::PARALLEL_FROM},
                         Open{false, 1}}) {
    const bool check_crc = how.check_crc;
    const ModelOpen m = model_open(data, size, check_crc);
    Result<Reader> opened =
        Reader::open(image().path(), check_crc, {.use_mapped_index = false, .parallel_from = how.parallel_from});
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
