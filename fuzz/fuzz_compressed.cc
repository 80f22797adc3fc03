// libFuzzer target: any byte string as a compressed store, its values read
// decompressed. Whatever the codec description, the dictionary and the
// frames hold, every value must come out as an error or as exactly the
// bytes its frame declares, within the store's bounds, and the deep check
// must end; the sanitizers and the fuzzer's memory limit watch the rest.
//
// A mutated trailer or codec description rarely keeps its CRCs, so the
// target makes them good before opening (the trailer's, the description's
// and the dictionary's): the fields and the dictionary's bytes themselves
// are fuzzed, not only whether a checksum happens to match.
#include <cstdint>
#include <string>
#include <vector>

#include "core/format/codec_block.h"
#include "core/reader/reader.h"
#include "fuzz_common.h"

namespace {

using zelkor::OpenOptions;
using zelkor::Reader;
using zelkor::Result;
using namespace zelkor_fuzz;

constexpr std::size_t TRAILER = 128;
constexpr std::size_t CODEC_HEAD = 88;
// Values that a frame may declare beyond this are checked against their
// bounds but not decoded: the bound grows with the frame's length (up to
// 43,691 bytes per byte of frame), and the fuzzer's memory limit is lower.
constexpr std::size_t DECODE_LIMIT = std::size_t{64} << 20;

ImageFile& image() {
  static ImageFile file;
  return file;
}

void put_crc(std::uint8_t* at, std::uint32_t c) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(c >> (24 - 8 * i));
}

// The trailer's, the codec description's and the dictionary's CRCs made
// good, where the file has them.
void make_checksums_good(std::vector<std::uint8_t>& file) {
  const std::size_t n = file.size();
  if (n < 40 + TRAILER || std::string_view(reinterpret_cast<const char*>(&file[n - TRAILER]), 8) != "ZLKRMIDX") return;
  std::uint8_t* t = &file[n - TRAILER];
  const std::uint64_t start = be(t + 88, 8);
  const std::uint64_t codec_size = be(t + 120, 4);
  if (codec_size >= CODEC_HEAD && start < n && codec_size <= n - start) {
    std::uint8_t* block = &file[static_cast<std::size_t>(start)];
    const std::uint64_t dictionary = be(block + 76, 4);
    if (dictionary <= codec_size - CODEC_HEAD) {
      put_crc(block + 80, crc32(block + CODEC_HEAD, static_cast<std::size_t>(dictionary)));
    }
    put_crc(block + 84, crc32(block, 84));
  }
  put_crc(t + TRAILER - 4, crc32(t, TRAILER - 4));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> file(data, data + size);
  make_checksums_good(file);
  image().set(file.data(), file.size());
  Result<Reader> opened = Reader::open(image().path(), false, OpenOptions{.decode_values = true});
  if (!opened.ok()) return 0;
  const Reader& r = opened.value();
  const zelkor::ValueCodec* codec = r.codec();
  ZF_CHECK(r.compressed() == (codec != nullptr), "a compressed store opened for decoding has its codec");
  std::string value;
  bool all_decoded = true;
  for (std::size_t i = 0; i < r.entry_count(); ++i) {
    const Result<zelkor::StoredValue> got = r.value(r.object_offset_at(i));
    if (!got.ok() || !got.value().compressed) continue;
    const zelkor::StoredValue& v = got.value();
    ZF_CHECK(v.size <= codec->description().max_value_size, "a value beyond the store's largest");
    ZF_CHECK(v.size <= (v.stored.size() / 3 + 1) * (std::size_t{128} << 10), "a value beyond its frame's reach");
    if (v.size > DECODE_LIMIT) {
      all_decoded = false;
      continue;
    }
    value.assign(v.size, '\xAA');
    static_cast<void>(r.decode(v, value.data()));
  }
  if (all_decoded) static_cast<void>(r.verify());  // it decodes every value too
  return 0;
}
