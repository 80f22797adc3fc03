#include "compressed_records.h"

#include <algorithm>

#include "../codec/zstd_codec.h"
#include "../format/coding.h"
#include "../format/constants.h"
#include "../format/crc32.h"
#include "../format/object_record.h"
#include "../platform/background_task.h"
#include "../util/shared_work.h"

namespace zelkor {

namespace {

// Payload bytes per piece of the compression: enough to keep a thread busy
// for a while, few enough that two threads end together.
constexpr std::uint64_t PIECE_INPUT = std::uint64_t{1} << 20;
// A sample value counts with its first bytes only, and the sample with at
// most this many bytes per byte of dictionary (zstd's advice is 100).
constexpr std::size_t SAMPLE_VALUE_LIMIT = std::size_t{128} << 10;
constexpr std::uint64_t SAMPLE_BYTES_PER_DICTIONARY_BYTE = 128;
// Values shorter than this are stored as they are: a frame's header alone
// takes two bytes and more.
constexpr std::size_t MIN_COMPRESSED_SIZE = 8;
// A dictionary is kept only when the values are this many times its size:
// in a tiny store it would cost more than it saves.
constexpr std::uint64_t VALUES_PER_DICTIONARY_BYTE = 4;

std::size_t dictionary_capacity(const CompressionOptions& options, std::uint64_t value_bytes) {
  if (options.dictionary_size != 0) return static_cast<std::size_t>(options.dictionary_size);
  return static_cast<std::size_t>(std::clamp<std::uint64_t>(value_bytes / 64, CompressionOptions::MIN_DICTIONARY_SIZE,
                                                            CompressionOptions::DEFAULT_DICTIONARY_SIZE));
}

}  // namespace

Status check_compression_options(const CompressionOptions& o) {
  if (o.level < zstd::MIN_LEVEL || o.level > zstd::MAX_LEVEL) {
    return CoreError::general("compression level " + std::to_string(o.level) + " is not in " +
                              std::to_string(zstd::MIN_LEVEL) + ".." + std::to_string(zstd::MAX_LEVEL));
  }
  if (o.dictionary_size != 0 &&
      (o.dictionary_size < CompressionOptions::MIN_DICTIONARY_SIZE || o.dictionary_size > MAX_DICTIONARY_SIZE)) {
    return CoreError::general("dictionary size " + std::to_string(o.dictionary_size) + " is not in " +
                              std::to_string(CompressionOptions::MIN_DICTIONARY_SIZE) + ".." +
                              std::to_string(MAX_DICTIONARY_SIZE) + " bytes");
  }
  if (o.sample_size < 0 || o.sample_size > CompressionOptions::MAX_SAMPLE_SIZE) {
    return CoreError::general("sample size " + std::to_string(o.sample_size) + " is not in 1.." +
                              std::to_string(CompressionOptions::MAX_SAMPLE_SIZE));
  }
  if (!zstd::available()) return zstd::unavailable_for_build();
  return Status();
}

Result<CompressedRecords> CompressedRecords::make(const Writer& writer, const RecordPlacement& placement,
                                                  LowestHashes& sample, const CompressionOptions& options) {
  if (Status s = check_compression_options(options); !s.ok()) return std::move(s).error();
  const auto& ids = placement.ids();
  const std::uint64_t value_bytes = writer.data_section().size() - writer.object_count() * RECORD_HEAD_SIZE;
  const std::size_t capacity = dictionary_capacity(options, value_bytes);

  // The sample: the lowest hashes first, as many as the byte budget takes,
  // then in key order (zstd trains on the order it is given).
  std::vector<std::uint64_t> places = sample.take_by_hash();
  const std::uint64_t budget = capacity * SAMPLE_BYTES_PER_DICTIONARY_BYTE;
  std::uint64_t taken = 0;
  std::size_t count = 0;
  while (count < places.size()) {
    const std::size_t size = std::min(placement.payload(ids[places[count]]).size(), SAMPLE_VALUE_LIMIT);
    if (taken + size > budget) break;
    taken += size;
    ++count;
  }
  places.resize(count);
  std::sort(places.begin(), places.end());
  std::string samples;
  samples.reserve(static_cast<std::size_t>(taken));
  std::vector<std::size_t> sizes;
  sizes.reserve(count);
  for (std::uint64_t k : places) {
    const std::string_view payload = placement.payload(ids[k]);
    sizes.push_back(std::min(payload.size(), SAMPLE_VALUE_LIMIT));
    samples.append(payload.data(), sizes.back());
  }

  CompressedRecords out;
  const int level = static_cast<int>(options.level);
  std::optional<std::string> trained = zstd::train_dictionary(samples, sizes, capacity, level);
  if (trained && trained->size() * VALUES_PER_DICTIONARY_BYTE <= value_bytes) {
    out.dictionary_ = std::move(*trained);
    out.description_.sample_values = static_cast<std::uint32_t>(count);
  }
  std::string().swap(samples);
  Result<zstd::Compressor> made = zstd::Compressor::make(out.dictionary_, level);
  if (!made.ok()) return std::move(made).error();
  const zstd::Compressor& compressor = made.value();

  // Pieces of about PIECE_INPUT payload bytes, in the placement's order.
  std::uint64_t input = 0;
  for (std::size_t k = 0; k < ids.size(); ++k) {
    if (k == 0 || input >= PIECE_INPUT) {
      out.pieces_.emplace_back().first = k;
      input = 0;
    }
    input += placement.record_size(ids[k]);
  }
  out.offsets_.assign(writer.object_count(), 0);
  const std::string_view data = writer.data_section();
  auto piece_end = [&](std::size_t p) { return p + 1 < out.pieces_.size() ? out.pieces_[p + 1].first : ids.size(); };
  std::vector<Status> failures(out.pieces_.size());

  // Each piece's records, their offsets from the piece's start for now.
  auto compress_piece = [&](zstd::Compressor::Context& context, std::size_t p) {
    Piece& piece = out.pieces_[p];
    ByteBuffer& records = piece.records;
    for (std::size_t k = piece.first, end = piece_end(p); k < end; ++k) {
      const std::uint64_t id = ids[k];
      const std::string_view payload = placement.payload(id);
      const std::size_t start = records.size();
      out.offsets_[id] = start;
      piece.value_bytes += payload.size();
      // A payload that starts with the flag is compressed whatever comes
      // of it: stored as it is, it would read as a frame.
      const bool must = is_compressed(payload);
      if (must || payload.size() >= MIN_COMPRESSED_SIZE) {
        char* at = records.extend(RECORD_HEAD_SIZE + 1 + zstd::frame_bound(payload.size()));
        Result<std::size_t> frame = compressor.compress(context, payload, at + RECORD_HEAD_SIZE + 1);
        if (!frame.ok()) {
          failures[p] = std::move(frame).error();
          return;
        }
        const std::size_t stored = frame.value() + 1;
        if (must || stored < payload.size()) {
          at[RECORD_HEAD_SIZE] = COMPRESSED_FLAG;
          encode_record_head(at, static_cast<std::uint32_t>(stored), crc32_of(at + RECORD_HEAD_SIZE, stored));
          records.truncate(start + RECORD_HEAD_SIZE + stored);
          ++piece.compressed;
          piece.largest = std::max<std::uint64_t>(piece.largest, payload.size());
          continue;
        }
        records.truncate(start);
      }
      // The writer's own record, head and payload CRC included.
      records.append(data.data() + writer.record_offset(id), RECORD_HEAD_SIZE + payload.size());
      ++piece.stored_as_is;
    }
    piece.crc = crc32_of(records.data(), records.size());
  };
  {
    SharedWork work(out.pieces_.size());
    auto share = [&] {
      zstd::Compressor::Context context;
      work.take_pieces([&](std::size_t p) { compress_piece(context, p); });
    };
    platform::BackgroundTask second(share, out.pieces_.size() > 1);
    share();
    work.wait();
    second.wait();
    work.rethrow_failure();
  }
  for (Status& s : failures) {
    if (!s.ok()) return std::move(s).error();
  }

  // Where each piece starts, then each record's offset from the section's.
  out.piece_offsets_.assign(out.pieces_.size() + 1, 0);
  CodecDescription& d = out.description_;
  for (std::size_t p = 0; p < out.pieces_.size(); ++p) {
    const Piece& piece = out.pieces_[p];
    out.piece_offsets_[p + 1] = out.piece_offsets_[p] + piece.records.size();
    d.compressed_values += piece.compressed;
    d.stored_values += piece.stored_as_is;
    d.value_bytes += piece.value_bytes;
    d.max_value_size = std::max(d.max_value_size, piece.largest);
  }
  d.stored_bytes = out.size() - ids.size() * RECORD_HEAD_SIZE;
  {
    SharedWork work(out.pieces_.size());
    auto rebase = [&](std::size_t p) {
      const std::uint64_t base = out.piece_offsets_[p];
      for (std::size_t k = out.pieces_[p].first, end = piece_end(p); k < end; ++k) out.offsets_[ids[k]] += base;
    };
    platform::BackgroundTask second([&] { work.take_pieces(rebase); }, ids.size() >= KEYS_WORTH_A_THREAD);
    work.take_pieces(rebase);
    work.wait();
    second.wait();
    work.rethrow_failure();
  }
  d.level = level;
  d.zstd_version = zstd::version_number();
  d.dictionary_size_asked = static_cast<std::uint32_t>(options.dictionary_size);
  d.sample_size_asked = static_cast<std::uint32_t>(options.sample_size);
  return out;
}

}  // namespace zelkor
