#include "build.h"

#include "../format/constants.h"
#include "../format/crc32.h"
#include "../format/header.h"
#include "../format/index_entry.h"
#include "../platform/background_task.h"
#include "../util/uint128.h"
#include "atomic_output.h"
#include "key_order.h"
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

// Below this many keys a second thread costs more than it saves.
constexpr std::uint64_t THREAD_WORTHWHILE = 65536;

// Lays out the index entries of order[begin, end) in pieces of about 1 MiB,
// extending `crc` over each piece before handing it to `write`.
template <typename Write>
Status write_entries(const Writer& writer, const KeyOrder& order, std::size_t begin, std::size_t end,
                     std::uint32_t* crc, Write&& write) {
  constexpr std::size_t PIECE = std::size_t{1} << 20;
  constexpr std::size_t AHEAD = 8;
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
    if (i + AHEAD < end) __builtin_prefetch(&writer.record_offset(KeyTable::object_id_of(arena + order.entry(i + AHEAD))));
    const char* entry = arena + order.entry(i);
    const std::string_view key = KeyTable::key_of(entry);
    if (piece.size() + index_entry_size(key.size()) > PIECE) {
      if (Status s = flush(); !s.ok()) return s;
    }
    encode_index_entry(piece.extend(index_entry_size(key.size())), key,
                       HEADER_SIZE + writer.record_offset(KeyTable::object_id_of(entry)));
  }
  return flush();
}

// Writes the index section of `size` bytes, extending `crc` over it. A large
// index is written in two halves at once, each thread laying out its half
// and writing it at its place in the file; the halves' CRCs are then joined.
Status write_index(AtomicFile& out, const Writer& writer, const KeyOrder& order, std::uint64_t size,
                   std::uint32_t* crc) {
  const std::size_t n = order.size();
  if (n < THREAD_WORTHWHILE) {
    return write_entries(writer, order, 0, n, crc, [&](std::string_view piece) { return out.write(piece); });
  }
  Result<std::uint64_t> reserved = out.reserve(size);
  if (!reserved.ok()) return std::move(reserved).error();
  const std::size_t half = n / 2;
  std::uint64_t head_size = 0;
  for (std::size_t i = 0; i < half; ++i) head_size += index_entry_size(order.key_length(i));

  // Each half starts writeback of what it wrote every few pieces, so the
  // final sync has little left to do.
  auto writer_from = [&out](std::uint64_t at) {
    return [&out, at, pieces = std::size_t{0}](std::string_view piece) mutable {
      Status s = out.write_reserved(at, piece);
      at += piece.size();
      if (++pieces % 8 == 0) out.start_writeback();
      return s;
    };
  };
  std::uint32_t tail_crc = 0;
  Status tail_status;
  platform::BackgroundTask tail(
      [&] { tail_status = write_entries(writer, order, half, n, &tail_crc, writer_from(reserved.value() + head_size)); },
      true);
  Status head_status = write_entries(writer, order, 0, half, crc, writer_from(reserved.value()));
  tail.wait();
  if (!head_status.ok()) return head_status;
  if (!tail_status.ok()) return tail_status;
  *crc = crc32_concat(*crc, tail_crc, size - head_size);
  return Status();
}

}  // namespace

Result<BuildSummary> build_store(const Writer& writer, const std::string& path, const BuildOptions& options) {
  static_cast<void>(options);
  std::string temp_path = temporary_path_for(path);
  if (Status s = check_format_maximums(writer); !s.ok()) return std::move(s).error();

  const KeyTable& keys = writer.keys();
  const std::string_view data = writer.data_section();
  const std::uint64_t index_size = keys.key_bytes() + keys.size() * ENTRY_FIXED_SIZE;
  // The keys are sorted on a second thread while this one writes the data
  // section; this one then takes a share of what is left.
  KeyOrder order(keys);
  platform::BackgroundTask sort([&] { order.sort_share(); }, keys.size() >= THREAD_WORTHWHILE);

  Result<AtomicFile> created = AtomicFile::create(path, std::move(temp_path));
  if (!created.ok()) return std::move(created).error();
  AtomicFile out = std::move(created).value();

  // The header's CRC is known only at the end: a placeholder goes first
  // and is replaced before the file is synced.
  char header_bytes[HEADER_SIZE] = {0};
  std::uint32_t crc = crc32_of(data.data(), data.size());
  if (Status s = out.write({header_bytes, HEADER_SIZE}); !s.ok()) return std::move(s).error();
  if (Status s = out.write(data); !s.ok()) return std::move(s).error();
  out.start_writeback();  // the disk works on the data while the keys are sorted
  order.sort_share();
  sort.wait();
  if (Status s = write_index(out, writer, order, index_size, &crc); !s.ok()) return std::move(s).error();

  Header header;
  header.num_keys = static_cast<std::uint32_t>(keys.size());
  header.num_objects = static_cast<std::uint32_t>(writer.object_count());
  header.index_offset = HEADER_SIZE + data.size();
  header.file_crc32 = crc;
  encode_header(header, header_bytes);
  if (Status s = out.overwrite(0, {header_bytes, HEADER_SIZE}); !s.ok()) return std::move(s).error();
  if (Status s = out.commit(); !s.ok()) return std::move(s).error();
  return BuildSummary{writer.object_count(), keys.size(), HEADER_SIZE + data.size() + index_size, crc};
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
