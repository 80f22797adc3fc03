// Exercises the core's internal helper threads (the shared key sort, the
// split index layout, the two-part file checksum) for ThreadSanitizer; the
// Python suite cannot see data races between threads it never started.
// Run through tools/tsan.sh.
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/format/crc32.h"
#include "core/reader/reader.h"
#include "core/writer/build.h"

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
  for (int round = 0; round < 3; ++round) {
    auto built = zelkor::build_store(writer, path);
    if (!built.ok()) {
      std::fprintf(stderr, "%s\n", built.error().render().c_str());
      return 1;
    }
  }
  auto reader = zelkor::Reader::open(path, true);
  if (!reader.ok() || !reader.value().verify().ok()) {
    std::fprintf(stderr, "the built store does not verify\n");
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
