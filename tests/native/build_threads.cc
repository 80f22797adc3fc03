// Exercises the core's internal helper threads (the shared key sort, the
// split index layout, the two-part file checksum, the index of a reader
// built in parts) for ThreadSanitizer; the Python suite cannot see data
// races between threads it never started. Run through tools/tsan.sh.
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/format/crc32.h"
#include "core/format/header.h"
#include "core/format/index_entry.h"
#include "core/reader/reader.h"
#include "core/codec/zstd_codec.h"
#include "core/writer/build.h"

namespace {

// A hand-made index in which every key appears two or three times, far
// apart: the index built by two threads must answer exactly as the one
// built by one, the later entry winning each time, and a truncated index
// must fail the same way.
bool threaded_index_matches(const std::string& path) {
  constexpr std::size_t ENTRIES = 150000, KEYS = 60000;
  std::string file(zelkor::HEADER_SIZE, '\0');
  for (std::size_t i = 0; i < ENTRIES; ++i) {
    const std::string key = "dup:" + std::to_string(i * 7919 % KEYS);
    char entry[96];
    zelkor::encode_index_entry(entry, key, 40 + i);
    file.append(entry, zelkor::index_entry_size(key.size()));
  }
  for (std::uint32_t claimed : {std::uint32_t{ENTRIES}, std::uint32_t{ENTRIES + 1}}) {
    zelkor::Header header;
    header.num_keys = claimed;
    zelkor::encode_header(header, file.data());
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(file.data(), 1, file.size(), f) != file.size() || std::fclose(f) != 0) return false;
    auto one = zelkor::Reader::open(path, false, {.use_mapped_index = false, .parallel_from = SIZE_MAX});
    auto two = zelkor::Reader::open(path, false, {.use_mapped_index = false, .parallel_from = 1});
    if (one.ok() != two.ok()) return false;
    if (!one.ok()) {
      if (one.error().render() != two.error().render()) return false;
      continue;
    }
    for (std::size_t i = 0; i < ENTRIES; ++i) {
      const std::string_view key = one.value().key_at(i);
      if (key != two.value().key_at(i) || one.value().find(key) != two.value().find(key)) return false;
    }
    if (two.value().find("dup:" + std::to_string(KEYS)).has_value()) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "build_threads.zlkr";
  zelkor::Writer writer;
  std::string payload(40, 'x');
  for (std::size_t i = 0; i < 100000; ++i) {
    payload[i % payload.size()] = static_cast<char>(i);
    writer.add_object(payload);
  }
  for (std::size_t i = 0; i < 200000; ++i) {
    char key[64];
    const int n = std::snprintf(key, sizeof key, "%s%zu", i % 3 ? "user:000" : "k", i * 7919 % 1000003);
    if (!writer.add_key(std::string_view(key, static_cast<std::size_t>(n)), i / 2).ok()) return 1;
  }
  // Both layouts: the mapped one writes the data and the index in pieces
  // from two threads, and must come out the same every time; so must the
  // mapped one with its payloads compressed on both threads.
  std::string first_mapped, first_compressed;
  const int rounds = zelkor::zstd::available() ? 6 : 4;
  for (int round = 0; round < rounds; ++round) {
    zelkor::BuildOptions options;
    options.mapped_index = round % 2 == 1 || round >= 4;
    if (round >= 4) options.compression = zelkor::CompressionOptions{};
    auto built = zelkor::build_store(writer, path, options);
    if (!built.ok()) {
      std::fprintf(stderr, "%s\n", built.error().render().c_str());
      return 1;
    }
    auto reader = zelkor::Reader::open(path, true);
    if (!reader.ok() || !reader.value().verify().ok() || reader.value().mapped_index().has_value() != options.mapped_index) {
      std::fprintf(stderr, "the built store does not verify\n");
      return 1;
    }
    if (options.mapped_index) {
      const std::string bytes(reader.value().file());
      std::string& first = round >= 4 ? first_compressed : first_mapped;
      if (first.empty()) first = bytes;
      if (bytes != first) {
        std::fprintf(stderr, "two builds of one writer with the mapped index differ\n");
        return 1;
      }
    }
  }
  if (!threaded_index_matches(path)) {
    std::fprintf(stderr, "the index built by two threads differs from the one built by one\n");
    return 1;
  }
  std::vector<unsigned char> large(40 << 20);
  for (std::size_t i = 0; i < large.size(); i += 4096) large[i] = static_cast<unsigned char>(i >> 12);
  if (zelkor::crc32_of_large(large.data(), large.size()) != ::crc32(0, large.data(), static_cast<uInt>(large.size()))) {
    std::fprintf(stderr, "two-part checksum differs from zlib's\n");
    return 1;
  }
  std::remove(path.c_str());
  std::puts("build_threads: ok");
  return 0;
}
