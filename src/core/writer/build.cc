#include "build.h"

#include <errno.h>
#include <unistd.h>

#include "../format/constants.h"
#include "../format/crc32.h"
#include "../format/header.h"
#include "../format/index_entry.h"
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

// Index entries in ascending key order, each with its object's offset.
ByteBuffer lay_out_index(const Writer& writer) {
  const KeyTable& keys = writer.keys();
  const auto& records = keys.records();
  const std::vector<std::uint64_t> order = sorted_key_order(keys);
  ByteBuffer index;
  index.reserve_more(keys.key_bytes() + records.size() * ENTRY_FIXED_SIZE);
  char* at = index.extend(keys.key_bytes() + records.size() * ENTRY_FIXED_SIZE);
  for (std::uint64_t r : order) {
    const KeyTable::Record& record = records[r];
    at = encode_index_entry(at, keys.key_of(record), HEADER_SIZE + writer.record_offset(record.object_id));
  }
  return index;
}

}  // namespace

Result<BuildSummary> build_store(const Writer& writer, const std::string& path) {
  const std::string temp_path = temporary_path_for(path);
  if (Status s = check_format_maximums(writer); !s.ok()) return std::move(s).error();

  const std::string_view data = writer.data_section();
  const ByteBuffer index = lay_out_index(writer);
  Header header;
  header.num_keys = static_cast<std::uint32_t>(writer.key_count());
  header.num_objects = static_cast<std::uint32_t>(writer.object_count());
  header.index_offset = HEADER_SIZE + data.size();
  header.file_crc32 = crc32_extend(crc32_of(data.data(), data.size()), index.data(), index.size());
  char header_bytes[HEADER_SIZE];
  encode_header(header, header_bytes);

  const FileImage image{{header_bytes, HEADER_SIZE}, data, index.view()};
  if (Status s = write_file_atomically(path, temp_path, image); !s.ok()) return std::move(s).error();
  return BuildSummary{writer.object_count(), writer.key_count(), HEADER_SIZE + data.size() + index.size()};
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

int print_to_stdout(std::string_view line) noexcept {
  const char* p = line.data();
  std::size_t n = line.size();
  while (n > 0) {
    const ssize_t w = ::write(STDOUT_FILENO, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno == EBADF ? 0 : errno;
    }
    if (w == 0) return EIO;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return 0;
}

}  // namespace zelkor
