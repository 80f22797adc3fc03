// The data section of a compressed build: every object's payload
// compressed on its own with zstd (format/codec_block.h says how it is
// stored), with a dictionary trained on a sample of the payloads, the
// records in the order of a RecordPlacement.
//
// The sample is the objects whose first keys hash lowest (LowestHashes),
// at most sample_size of them and about SAMPLE_BYTES_PER_DICTIONARY_BYTE
// times the dictionary's size in bytes, taken in key order; the dictionary
// is trained on one thread with fixed parameters. So one content always
// gives one file with one zstd version, in whatever order it was added.
//
// The payloads are compressed on two threads, in pieces of about a MiB of
// payload each; each piece becomes a buffer of records with a CRC of its
// own, which the build writes where the piece lies in the file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../format/codec_block.h"
#include "../platform/byte_buffer.h"
#include "../platform/memory.h"
#include "../util/result.h"
#include "record_placement.h"
#include "writer.h"

namespace zelkor {

struct CompressionOptions {
  static constexpr int DEFAULT_LEVEL = 3;
  static constexpr std::uint32_t DEFAULT_SAMPLE_SIZE = 5000;
  static constexpr std::uint32_t MAX_SAMPLE_SIZE = 1000000;
  // The size of zstd's own dictionaries; a small store gets less (below).
  static constexpr std::uint32_t DEFAULT_DICTIONARY_SIZE = 112640;
  static constexpr std::uint32_t MIN_DICTIONARY_SIZE = 1024;

  // As given, checked by check_compression_options.
  std::int64_t level = DEFAULT_LEVEL;
  // 0: DEFAULT_DICTIONARY_SIZE, or a 64th of all the payloads' bytes when
  // that is less (at least MIN_DICTIONARY_SIZE); else at most this many.
  std::int64_t dictionary_size = 0;
  // 0: DEFAULT_SAMPLE_SIZE values; else at most this many.
  std::int64_t sample_size = 0;

  std::size_t sample_limit() const noexcept {
    return sample_size != 0 ? static_cast<std::size_t>(sample_size) : DEFAULT_SAMPLE_SIZE;
  }
};

// General "..." for options out of range, and for a build without zstd.
Status check_compression_options(const CompressionOptions& options);

class CompressedRecords {
 public:
  // Samples `placement`'s records (the places `sample` kept), trains the
  // dictionary and compresses every payload of `writer`.
  static Result<CompressedRecords> make(const Writer& writer, const RecordPlacement& placement,
                                        LowestHashes& sample, const CompressionOptions& options);

  // The offset of object `id`'s record from the start of the data section,
  // for every id.
  const std::uint64_t* offsets() const noexcept { return offsets_.data(); }
  std::uint64_t size() const noexcept { return piece_offsets_.back(); }

  std::size_t pieces() const noexcept { return pieces_.size(); }
  // Piece p's records, where they start in the data section, their CRC.
  std::string_view piece(std::size_t p) const noexcept { return pieces_[p].records.view(); }
  std::uint64_t piece_offset(std::size_t p) const noexcept { return piece_offsets_[p]; }
  std::uint32_t piece_crc(std::size_t p) const noexcept { return pieces_[p].crc; }

  // The codec description, its dictionary a view into this object.
  CodecDescription description() const noexcept {
    CodecDescription d = description_;
    d.dictionary = dictionary_;
    return d;
  }

 private:
  struct Piece {
    std::size_t first = 0;  // into placement.ids()
    ByteBuffer records;
    std::uint32_t crc = 0;
    std::uint64_t compressed = 0;
    std::uint64_t stored_as_is = 0;
    std::uint64_t value_bytes = 0;
    std::uint64_t largest = 0;
  };

  CompressedRecords() = default;

  std::vector<Piece> pieces_;
  std::vector<std::uint64_t> piece_offsets_;  // one more than pieces_: the section's size last
  std::vector<std::uint64_t, platform::HugePageAllocator<std::uint64_t>> offsets_;
  std::string dictionary_;
  CodecDescription description_;  // without its dictionary
};

}  // namespace zelkor
