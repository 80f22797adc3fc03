// Deep verification of an open store.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "../format/coding.h"
#include "../format/constants.h"
#include "../format/crc32.h"
#include "../format/index_entry.h"
#include "../platform/memory.h"
#include "reader.h"

namespace zelkor {

namespace {

using Offsets = std::vector<std::uint64_t, platform::HugePageAllocator<std::uint64_t>>;

// Sorts offsets ascending and drops repeats: least significant byte first,
// passing over byte positions in which all offsets agree.
void sort_unique(Offsets& offsets) {
  const std::size_t n = offsets.size();
  std::uint64_t all = ~std::uint64_t{0}, any = 0;
  for (std::uint64_t o : offsets) {
    all &= o;
    any |= o;
  }
  Offsets scratch(n);
  std::uint64_t* from = offsets.data();
  std::uint64_t* to = scratch.data();
  for (int shift = 0; shift < 64; shift += 8) {
    if ((((all ^ any) >> shift) & 0xFF) == 0) continue;
    std::size_t count[257] = {};
    for (std::size_t i = 0; i < n; ++i) ++count[((from[i] >> shift) & 0xFF) + 1];
    for (int v = 0; v < 256; ++v) count[v + 1] += count[v];
    for (std::size_t i = 0; i < n; ++i) to[count[(from[i] >> shift) & 0xFF]++] = from[i];
    std::swap(from, to);
  }
  if (from != offsets.data()) std::memcpy(offsets.data(), from, n * sizeof(std::uint64_t));
  offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
}

// The defect of the object at `offset`, if any, with its message. With a
// codec, a compressed payload must also decode within its bounds (into
// `scratch`).
std::optional<CoreError> check_object(std::string_view file, std::uint64_t offset, const ValueCodec* codec,
                                      std::string& scratch) {
  const std::uint64_t size = file.size();
  if (!fits_within(offset, RECORD_HEAD_SIZE, size)) {
    return CoreError::corrupt("object offset " + std::to_string(offset) + " out of bounds");
  }
  const char* record = file.data() + offset;
  const std::uint32_t payload_len = decode_u32(record);
  if (payload_len > size - offset - RECORD_HEAD_SIZE) {
    return CoreError::corrupt("object at " + std::to_string(offset) + " extends beyond file end");
  }
  if (crc32_of(record + RECORD_HEAD_SIZE, payload_len) != decode_u32(record + 4)) {
    return CoreError::corrupt("object CRC32 mismatch at offset " + std::to_string(offset));
  }
  const std::string_view payload(record + RECORD_HEAD_SIZE, payload_len);
  if (codec != nullptr && is_compressed(payload)) {
    Result<std::size_t> decoded_size = codec->decoded_size(payload);
    Status decoded = decoded_size.ok() ? Status() : Status(std::move(decoded_size).error());
    if (decoded.ok()) {
      scratch.resize(decoded_size.value());
      decoded = codec->decode(payload, scratch.data(), scratch.size());
    }
    if (!decoded.ok()) return std::move(decoded).error().with_context("object at " + std::to_string(offset));
  }
  return std::nullopt;
}

}  // namespace

// Each distinct object is checked once, in file order, which reads the data
// section front to back; the outcome of a check depends only on the offset.
// When some object is damaged, the one reported is the first met in index
// order, found by a second walk over the index.
Status Reader::verify() const {
  const std::string_view bytes = file();
  if (Status s = check_file_crc(bytes, header_.file_crc32); !s.ok()) return s;
  if (codec_error_) return *codec_error_;

  const std::size_t n = entry_count();
  Offsets offsets(n);
  for (std::size_t i = 0; i < n; ++i) offsets[i] = object_offset_at(i);
  sort_unique(offsets);
  const ValueCodec* codec = this->codec();
  std::string scratch;
  std::vector<std::uint64_t> damaged;
  for (std::uint64_t offset : offsets) {
    if (check_object(bytes, offset, codec, scratch)) damaged.push_back(offset);
  }
  for (std::size_t i = 0; i < n && !damaged.empty(); ++i) {
    const std::uint64_t offset = object_offset_at(i);
    if (std::binary_search(damaged.begin(), damaged.end(), offset)) return *check_object(bytes, offset, codec, scratch);
  }
  return verify_mapped_index();
}

// A mapped index agrees with the entries when the order section names each
// entry where a walk of the index section finds it, in strictly ascending
// key order and ending where the section ends; when a lookup of every key
// stops at that key's own entry, and no other slot is in use; and when the
// search heads are those of the keys.
Status Reader::verify_mapped_index() const {
  if (!mapped_) return Status();
  const MappedIndexLayout& layout = *mapped_;
  const std::string_view section = file().substr(layout.index_offset, layout.index_size);
  auto damaged = [](const std::string& what) { return CoreError::corrupt("mapped index: " + what); };
  auto entry_damaged = [&](std::size_t i, const char* what) { return damaged("entry " + std::to_string(i) + what); };
  const std::size_t n = entry_count();
  std::uint64_t cursor = 0;
  std::string_view previous;
  for (std::size_t i = 0; i < n; ++i) {
    if (index_.stored_position(i) != cursor) return entry_damaged(i, " is not where the order section puts it");
    const std::uint64_t rest = section.size() - cursor;
    if (rest < ENTRY_FIXED_SIZE || decode_u16(section.data() + cursor) > rest - ENTRY_FIXED_SIZE) {
      return entry_damaged(i, " runs past the index section");
    }
    const std::string_view key = key_at(i);
    if (i > 0 && !(previous < key)) return entry_damaged(i, " is out of key order");
    if (index_.found_position(key) != cursor) return entry_damaged(i, " is not found through the slot table");
    previous = key;
    cursor += ENTRY_FIXED_SIZE + key.size();
  }
  if (cursor != section.size()) return damaged("the index section holds bytes after its last entry");
  if (index_.slots_in_use() != n) return damaged("the slot table holds slots of no entry");
  if (search_.bytes() != SearchTree(index_).bytes()) return damaged("the search heads disagree with the keys");
  return Status();
}

}  // namespace zelkor
