#include "build.h"

#include "../format/codec_block.h"
#include "../format/constants.h"
#include "../format/crc32.h"
#include "../format/header.h"
#include "../format/index_entry.h"
#include "../format/mapped_index.h"
#include "../platform/background_task.h"
#include "../util/shared_work.h"
#include "../util/uint128.h"
#include "atomic_output.h"
#include "compressed_records.h"
#include "key_order.h"
#include "lookup_sections.h"
#include "record_placement.h"
#include "temp_path.h"

namespace zelkor {

namespace {

Status check_format_maximums(const Writer& writer) {
  if (writer.object_count() > MAX_OBJECTS) {
    return CoreError::general(std::to_string(writer.object_count()) + " objects exceeds format maximum of " +
                              std::to_string(MAX_OBJECTS));
  }
  if (writer.key_count() > MAX_KEYS) {
    return CoreError::general(std::to_string(writer.key_count()) + " keys exceeds format maximum of " +
                              std::to_string(MAX_KEYS));
  }
  if (auto size = writer.first_oversized_object()) {
    return CoreError::general("object is " + std::to_string(*size) + " bytes, format maximum is " +
                              std::to_string(MAX_OBJECT_SIZE));
  }
  return Status();
}


constexpr std::size_t PIECE = std::size_t{1} << 20;

// Where the index entries point and what else their layout computes: the
// object of id j lies at `record_offsets[j]` from the start of the data
// section; with `lookup`, the hash of each key goes to its hashes().
struct EntryTargets {
  const std::uint64_t* record_offsets;
  LookupSections* lookup = nullptr;
};

// Lays out the index entries of order[begin, end) in pieces of about 1 MiB,
// extending `crc` over each piece before handing it to `write`.
template <typename Write>
Status write_entries(const Writer& writer, const KeyOrder& order, const EntryTargets& targets, std::size_t begin,
                     std::size_t end, std::uint32_t* crc, Write&& write) {
  constexpr std::size_t AHEAD = 8;
  const std::uint64_t* record_offsets = targets.record_offsets;
  std::uint64_t* hashes = targets.lookup != nullptr ? targets.lookup->hashes() : nullptr;
  ByteBuffer piece;
  piece.reserve_more(PIECE + index_entry_size(MAX_KEY_LEN));
  auto flush = [&] {
    *crc = crc32_extend(*crc, piece.data(), piece.size());
    Status s = write(piece.view());
    piece.truncate(0);
    return s;
  };
  const char* arena = writer.keys().arena().data();
  for (std::size_t i = begin; i < end; ++i) {
    // Entries come in key order, arena entries and object records in
    // insertion order: fetch both well before they are needed.
    if (i + 2 * AHEAD < end) __builtin_prefetch(arena + order.entry(i + 2 * AHEAD));
    if (i + AHEAD < end) __builtin_prefetch(&record_offsets[KeyTable::object_id_of(arena + order.entry(i + AHEAD))]);
    const char* entry = arena + order.entry(i);
    const std::string_view key = KeyTable::key_of(entry);
    if (piece.size() + index_entry_size(key.size()) > PIECE) {
      if (Status s = flush(); !s.ok()) return s;
    }
    encode_index_entry(piece.extend(index_entry_size(key.size())), key,
                       HEADER_SIZE + record_offsets[KeyTable::object_id_of(entry)]);
    if (hashes != nullptr) hashes[i] = hash_key(key.data(), key.size(), targets.lookup->table_key());
  }
  return flush();
}

// Writes pieces one after another from file offset `at` on, in a range
// set aside by reserve; every few pieces it starts their writeback, so the
// final sync has little left to do.
auto reserved_writer(const AtomicFile& out, std::uint64_t at) {
  return [&out, at, pieces = std::size_t{0}](std::string_view piece) mutable {
    Status s = out.write_reserved(at, piece);
    at += piece.size();
    if (++pieces % 8 == 0) out.start_writeback();
    return s;
  };
}

// Writes the index section of `size` bytes, extending `crc` over it. A large
// index is written in two halves at once, each thread laying out its half
// and writing it at its place in the file; the halves' CRCs are then joined.
Status write_index(AtomicFile& out, const Writer& writer, const KeyOrder& order, std::uint64_t size,
                   std::uint32_t* crc) {
  const std::size_t n = order.size();
  const EntryTargets targets{writer.record_offsets()};
  if (n < KEYS_WORTH_A_THREAD) {
    return write_entries(writer, order, targets, 0, n, crc, [&](std::string_view piece) { return out.write(piece); });
  }
  Result<std::uint64_t> reserved = out.reserve(size);
  if (!reserved.ok()) return std::move(reserved).error();
  const std::size_t half = n / 2;
  std::uint64_t head_size = 0;
  for (std::size_t i = 0; i < half; ++i) head_size += index_entry_size(order.key_length(i));

  std::uint32_t tail_crc = 0;
  Status tail_status;
  platform::BackgroundTask tail(
      [&] {
        tail_status = write_entries(writer, order, targets, half, n, &tail_crc,
                                    reserved_writer(out, reserved.value() + head_size));
      },
      true);
  Status head_status = write_entries(writer, order, targets, 0, half, crc, reserved_writer(out, reserved.value()));
  tail.wait();
  if (!head_status.ok()) return head_status;
  if (!tail_status.ok()) return tail_status;
  *crc = crc32_concat(*crc, tail_crc, size - head_size);
  return Status();
}

// Hands the records of placement.ids()[begin, end) to `write`, extending
// `crc` over them: gathered into pieces of about 1 MiB, a record as large
// as a piece as it lies.
template <typename Write>
Status write_records(const Writer& writer, const RecordPlacement& placement, std::size_t begin, std::size_t end,
                     std::uint32_t* crc, Write&& write) {
  const std::string_view data = writer.data_section();
  constexpr std::size_t AHEAD = 8;
  ByteBuffer piece;
  piece.reserve_more(PIECE);
  auto flush = [&] {
    *crc = crc32_extend(*crc, piece.data(), piece.size());
    Status s = piece.empty() ? Status() : write(piece.view());
    piece.truncate(0);
    return s;
  };
  const auto& ids = placement.ids();
  for (std::size_t k = begin; k < end; ++k) {
    // Records lie in id order, visited here in key order: the offset of
    // each, then its record, are fetched well before they are needed.
    if (k + 2 * AHEAD < end) __builtin_prefetch(&writer.record_offset(ids[k + 2 * AHEAD]));
    if (k + AHEAD < end) __builtin_prefetch(data.data() + writer.record_offset(ids[k + AHEAD]));
    const std::uint64_t id = ids[k];
    const std::string_view record = data.substr(writer.record_offset(id), placement.record_size(id));
    if (piece.size() + record.size() > PIECE) {
      if (Status s = flush(); !s.ok()) return s;
    }
    if (record.size() >= PIECE) {
      *crc = crc32_extend(*crc, record.data(), record.size());
      if (Status s = write(record); !s.ok()) return s;
    } else {
      piece.append(record.data(), record.size());
    }
  }
  return flush();
}

// Appends `bytes` after zero padding up to file offset `at`, `length`
// being the file's length so far, extending `crc` over both.
Status write_section(AtomicFile& out, std::uint64_t& length, std::uint64_t at, std::string_view bytes,
                     std::uint32_t* crc) {
  static constexpr char ZEROS[SECTION_ALIGN] = {};
  const std::string_view padding(ZEROS, static_cast<std::size_t>(at - length));
  *crc = crc32_extend(*crc, padding.data(), padding.size());
  *crc = crc32_extend(*crc, bytes.data(), bytes.size());
  if (Status s = out.write(padding); !s.ok()) return s;
  if (Status s = out.write(bytes); !s.ok()) return s;
  length = at + bytes.size();
  return Status();
}

// The header, then the data section and the index section as the writer
// has always laid them out.
Result<std::uint32_t> write_plain(AtomicFile& out, const Writer& writer, KeyOrder& order,
                                  platform::BackgroundTask& sort, std::uint64_t index_size) {
  const std::string_view data = writer.data_section();
  std::uint32_t crc = crc32_of(data.data(), data.size());
  if (Status s = out.write(data); !s.ok()) return std::move(s).error();
  out.start_writeback();  // the disk works on the data while the keys are sorted
  order.sort_share();
  sort.wait();
  if (Status s = write_index(out, writer, order, index_size, &crc); !s.ok()) return std::move(s).error();
  return crc;
}

// The records of a mapped build as the writer holds them, laid out in the
// placement's order: pieces of a few MiB, each gathered from the writer's
// data section as it is written.
class PlacedRecords {
 public:
  static constexpr std::uint64_t SHARE = std::uint64_t{4} << 20;

  PlacedRecords(const Writer& writer, const RecordPlacement& placement) noexcept
      : writer_(writer),
        placement_(placement),
        size_(writer.data_section().size()),
        pieces_(static_cast<std::size_t>(std::min<std::uint64_t>(placement.ids().size(), size_ / SHARE + 1))) {}

  std::uint64_t size() const noexcept { return size_; }
  const std::uint64_t* offsets() const noexcept { return placement_.offsets(); }
  std::size_t pieces() const noexcept { return pieces_; }
  // Where piece p starts; piece_offset(pieces()) is the section's size.
  std::uint64_t piece_offset(std::size_t p) const noexcept {
    const std::size_t k = first(p);
    return k == placement_.ids().size() ? size_ : placement_.offsets()[placement_.ids()[k]];
  }
  template <typename Write>
  Status write_piece(std::size_t p, std::uint32_t* crc, Write&& write) const {
    return write_records(writer_, placement_, first(p), first(p + 1), crc, std::forward<Write>(write));
  }

 private:
  // Piece p covers the records [first(p), first(p + 1)) of the placement.
  std::size_t first(std::size_t p) const noexcept { return placement_.ids().size() * p / pieces_; }

  const Writer& writer_;
  const RecordPlacement& placement_;
  std::uint64_t size_;
  std::size_t pieces_;
};

// The records of a compressed build: its pieces as compression left them.
class CompressedPieces {
 public:
  explicit CompressedPieces(const CompressedRecords& records) noexcept : records_(records) {}

  std::uint64_t size() const noexcept { return records_.size(); }
  const std::uint64_t* offsets() const noexcept { return records_.offsets(); }
  std::size_t pieces() const noexcept { return records_.pieces(); }
  std::uint64_t piece_offset(std::size_t p) const noexcept {
    return p == records_.pieces() ? records_.size() : records_.piece_offset(p);
  }
  template <typename Write>
  Status write_piece(std::size_t p, std::uint32_t* crc, Write&& write) const {
    *crc = records_.piece_crc(p);
    return records_.piece(p).empty() ? Status() : write(records_.piece(p));
  }

 private:
  const CompressedRecords& records_;
};

// The data section with the records in key order (`data`: PlacedRecords or
// CompressedPieces) and the index section after it, written at once by
// both threads in pieces of a few MiB, each piece at its place in the file
// with a CRC of its own; the CRCs are then joined in file order. The
// index's layout hashes the keys for the mapped index as it goes.
template <typename Data>
Result<std::uint32_t> write_laid_out(AtomicFile& out, const Writer& writer, const KeyOrder& order, const Data& data,
                                     LookupSections& lookup, std::uint64_t index_size) {
  const std::uint64_t data_size = data.size();
  Result<std::uint64_t> reserved = out.reserve(data_size + index_size);
  if (!reserved.ok()) return std::move(reserved).error();
  const std::uint64_t data_at = reserved.value();
  const std::uint64_t index_at = data_at + data_size;
  const EntryTargets targets{data.offsets(), &lookup};
  const std::size_t n = order.size();
  constexpr std::uint64_t SHARE = PlacedRecords::SHARE;
  const std::size_t data_pieces = data.pieces();
  const auto index_pieces = static_cast<std::size_t>(std::min<std::uint64_t>(n, index_size / SHARE + 1));
  // Index piece q covers entries [index_first(q), index_first(q + 1)).
  auto index_first = [&](std::size_t q) { return n * q / index_pieces; };
  struct Outcome {
    Status status;
    std::uint32_t crc = 0;
    std::uint64_t length = 0;
  };
  std::vector<Outcome> outcomes(data_pieces + index_pieces);
  SharedWork pieces(outcomes.size());
  auto write_piece = [&](std::size_t p) {
    Outcome& o = outcomes[p];
    if (p < data_pieces) {
      const std::uint64_t begin = data.piece_offset(p);
      o.length = data.piece_offset(p + 1) - begin;
      o.status = data.write_piece(p, &o.crc, reserved_writer(out, data_at + begin));
    } else {
      const std::size_t q = p - data_pieces;
      const std::size_t begin = index_first(q), end = index_first(q + 1);
      o.length = lookup.position(end) - lookup.position(begin);
      o.status = write_entries(writer, order, targets, begin, end, &o.crc,
                               reserved_writer(out, index_at + lookup.position(begin)));
    }
  };
  const bool worth_a_thread = n >= KEYS_WORTH_A_THREAD || data_size + index_size >= 4 * SHARE;
  platform::BackgroundTask second([&] { pieces.take_pieces(write_piece); }, worth_a_thread);
  pieces.take_pieces(write_piece);
  pieces.wait();
  second.wait();
  pieces.rethrow_failure();
  std::uint32_t crc = 0;
  for (Outcome& o : outcomes) {
    if (!o.status.ok()) return std::move(o.status).error();
    crc = crc32_concat(crc, o.crc, o.length);
  }
  return crc;
}

// The mapped layout after the header: the data section (as the writer
// holds it, or compressed), the index section, then the sections of the
// mapped index, the codec description first in the metadata. Sets where
// the index section starts and the file's size; returns the CRC of all of
// the file but the header.
Result<std::uint32_t> write_mapped(AtomicFile& out, const Writer& writer, const KeyOrder& order,
                                   const BuildOptions& options, std::uint64_t index_size, std::uint64_t* index_at,
                                   std::uint64_t* file_size) {
  const KeyTable& keys = writer.keys();
  KeyDigest digest;
  const bool compress = options.compression.has_value();
  LowestHashes sample(compress ? options.compression->sample_limit() : 0);
  const RecordPlacement placement(writer, order, &digest, compress ? &sample : nullptr);
  std::optional<CompressedRecords> compressed;
  ByteBuffer metadata;
  if (compress) {
    Result<CompressedRecords> made = CompressedRecords::make(writer, placement, sample, *options.compression);
    if (!made.ok()) return std::move(made).error();
    compressed.emplace(std::move(made).value());
    encode_codec_block(compressed->description(), metadata);
  }
  const auto codec_size = static_cast<std::uint32_t>(metadata.size());
  metadata.append(options.metadata.data(), options.metadata.size());

  const std::uint64_t index_offset = HEADER_SIZE + (compressed ? compressed->size() : writer.data_section().size());
  *index_at = index_offset;
  LookupSections lookup(order, index_size, digest.seed());
  Result<std::uint32_t> written =
      compressed ? write_laid_out(out, writer, order, CompressedPieces(*compressed), lookup, index_size)
                 : write_laid_out(out, writer, order, PlacedRecords(writer, placement), lookup, index_size);
  if (!written.ok()) return written;
  std::uint32_t crc = written.value();
  compressed.reset();  // the records are in the file
  lookup.finish(keys);
  *file_size = index_offset + index_size;
  const MappedIndexLayout layout = lookup.layout(index_offset, *file_size, metadata.size(), codec_size);
  char trailer[TRAILER_SIZE];
  encode_trailer(layout, trailer);
  Status s = write_section(out, *file_size, layout.order_offset, lookup.order_bytes(), &crc);
  if (s.ok()) s = write_section(out, *file_size, layout.table_offset, lookup.table_bytes(), &crc);
  if (s.ok()) s = write_section(out, *file_size, layout.heads_offset, lookup.heads_bytes(), &crc);
  if (s.ok()) s = write_section(out, *file_size, layout.metadata_offset, metadata.view(), &crc);
  if (s.ok()) s = write_section(out, *file_size, layout.trailer_offset(), {trailer, TRAILER_SIZE}, &crc);
  if (!s.ok()) return std::move(s).error();
  return crc;
}

}  // namespace

Result<BuildSummary> build_store(const Writer& writer, const std::string& path, const BuildOptions& options) {
  std::string temp_path = temporary_path_for(path);
  if (Status s = check_format_maximums(writer); !s.ok()) return std::move(s).error();
  if (options.compression) {
    if (!options.mapped_index) return CoreError::general("a compressed store needs the mapped layout");
    if (Status s = check_compression_options(*options.compression); !s.ok()) return std::move(s).error();
  }

  const KeyTable& keys = writer.keys();
  const std::uint64_t index_size = keys.key_bytes() + keys.size() * ENTRY_FIXED_SIZE;
  // The keys are sorted on a second thread. For the plain layout this one
  // meanwhile writes the data section and then takes a share of what is
  // left; the mapped layout needs the order first, and this one sorts too.
  KeyOrder order(keys);
  platform::BackgroundTask sort([&] { order.sort_share(); }, keys.size() >= KEYS_WORTH_A_THREAD);

  Result<AtomicFile> created = AtomicFile::create(path, std::move(temp_path));
  if (!created.ok()) return std::move(created).error();
  AtomicFile out = std::move(created).value();

  // The header's CRC is known only at the end: a placeholder goes first
  // and is replaced before the file is synced.
  char header_bytes[HEADER_SIZE] = {0};
  if (Status s = out.write({header_bytes, HEADER_SIZE}); !s.ok()) return std::move(s).error();
  std::uint64_t index_offset = HEADER_SIZE + writer.data_section().size();
  std::uint64_t file_size = index_offset + index_size;
  std::uint32_t crc = 0;
  if (!options.mapped_index) {
    Result<std::uint32_t> written = write_plain(out, writer, order, sort, index_size);
    if (!written.ok()) return std::move(written).error();
    crc = written.value();
  } else {
    order.sort_share();
    sort.wait();
    Result<std::uint32_t> written = write_mapped(out, writer, order, options, index_size, &index_offset, &file_size);
    if (!written.ok()) return std::move(written).error();
    crc = written.value();
  }

  Header header;
  header.num_keys = static_cast<std::uint32_t>(keys.size());
  header.num_objects = static_cast<std::uint32_t>(writer.object_count());
  header.index_offset = index_offset;
  header.file_crc32 = crc;
  encode_header(header, header_bytes);
  if (Status s = out.overwrite(0, {header_bytes, HEADER_SIZE}); !s.ok()) return std::move(s).error();
  if (Status s = out.commit(); !s.ok()) return std::move(s).error();
  return BuildSummary{writer.object_count(), keys.size(), file_size, crc};
}

std::string summary_line(std::string_view path, const BuildSummary& summary) {
  // size / 1024 to the nearest tenth, ties to even, in exact integer steps.
  const uint128 scaled = static_cast<uint128>(summary.file_size) * 10;
  uint128 tenths = scaled / 1024;
  const unsigned rest = static_cast<unsigned>(scaled % 1024);
  if (rest > 512 || (rest == 512 && (tenths & 1) != 0)) ++tenths;
  const auto whole = static_cast<std::uint64_t>(tenths / 10);
  const auto digit = static_cast<unsigned>(tenths % 10);

  std::string line = "\u2705  ";
  line += path;
  line += "  \u2014  ";
  line += std::to_string(summary.objects);
  line += " objects \u00b7 ";
  line += std::to_string(summary.keys);
  line += " keys \u00b7 ";
  line += std::to_string(whole);
  line += '.';
  line += static_cast<char>('0' + digit);
  line += " KB\n";
  return line;
}

}  // namespace zelkor
