#include "reader.h"

#include "../format/constants.h"
#include "../platform/file.h"
#include "path_literal.h"

namespace zelkor {

Result<Reader> Reader::open(std::string path, bool check_crc, std::size_t parallel_from) {
  if (path.find('\0') != std::string::npos) {
    return CoreError::io("cannot open " + quoted_path(path) + ": file name contains a NUL byte");
  }
  // The open never waits, so a FIFO at the path cannot stall it; the FIFO
  // is then refused as unmappable.
  Result<platform::File> opened = platform::File::open_for_read(path);
  if (!opened.ok()) return std::move(opened).error().with_context("cannot open " + quoted_path(path));

  Result<platform::MappedFile> mapped = platform::MappedFile::map_whole(opened.value(), check_crc);
  if (!mapped.ok()) return std::move(mapped).error().with_context("mmap failed");
  Reader reader;
  reader.map_ = std::move(mapped).value();
  opened.value().close();  // the map stays valid on its own

  const std::string_view file = reader.map_.bytes();
  Result<Header> header = decode_header(file);
  if (!header.ok()) return std::move(header).error();
  reader.header_ = header.value();
  if (!check_crc) {
    // Only the index section is read at open: map its pages in one go, as
    // far as a plausible index reaches.
    constexpr std::uint64_t TYPICAL_ENTRY = ENTRY_FIXED_SIZE + 246;
    reader.map_.populate(reader.header_.index_offset, std::uint64_t{reader.header_.num_keys} * TYPICAL_ENTRY);
  }
  // The checksum of every byte after the header is summed alongside the
  // index build, but a mismatch is reported first, as if it had been
  // checked before the index was walked.
  KeyIndex::Checksum checksum{file.substr(HEADER_SIZE)};
  Result<KeyIndex> index = KeyIndex::build(file, reader.header_.index_offset, reader.header_.num_keys, parallel_from,
                                           check_crc ? &checksum : nullptr);
  if (check_crc && checksum.crc != reader.header_.file_crc32) {
    return file_crc_mismatch(reader.header_.file_crc32, checksum.crc);
  }
  if (!index.ok()) return std::move(index).error();
  reader.index_ = std::move(index).value();
  // The index section now lives in the key arena; its pages leave the
  // process, unless the whole file was mapped in for the checksum anyway.
  if (!check_crc) reader.map_.release(reader.header_.index_offset, reader.index_.section_size());
  reader.search_ = SearchTree(reader.index_);
  reader.path_ = std::move(path);
  return reader;
}

std::string Reader::describe() const {
  return "_ZelkReader('" + path_ + "', keys=" + std::to_string(header_.num_keys) +
         ", objects=" + std::to_string(header_.num_objects) + ")";
}

}  // namespace zelkor
