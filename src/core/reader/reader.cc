#include "reader.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "../format/constants.h"
#include "../format/file_descriptor.h"
#include "path_literal.h"

namespace zelkor {

Result<Reader> Reader::open(std::string path, bool check_crc) {
  if (path.find('\0') != std::string::npos) {
    return CoreError::io("cannot open " + quoted_path(path) + ": file name contains a NUL byte");
  }
  // Non-blocking, so that a FIFO at the path cannot stall the open; it is
  // then refused as unmappable.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return CoreError::os(errno, "cannot open " + quoted_path(path));

  Result<MappedFile> mapped = MappedFile::map_whole(fd.get(), check_crc);
  if (!mapped.ok()) return std::move(mapped).error();
  Reader reader;
  reader.map_ = std::move(mapped).value();
  fd.reset();  // the map stays valid on its own

  const std::string_view file = reader.map_.bytes();
  Result<Header> header = decode_header(file);
  if (!header.ok()) return std::move(header).error();
  reader.header_ = header.value();
  if (check_crc) {
    if (Status s = check_file_crc(file, reader.header_.file_crc32); !s.ok()) return std::move(s).error();
  } else {
    // Only the index section is read at open: map its pages in one go, as
    // far as a plausible index reaches.
    constexpr std::uint64_t TYPICAL_ENTRY = ENTRY_FIXED_SIZE + 246;
    reader.map_.populate(reader.header_.index_offset, std::uint64_t{reader.header_.num_keys} * TYPICAL_ENTRY);
  }
  Result<KeyIndex> index = KeyIndex::build(file, reader.header_.index_offset, reader.header_.num_keys);
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
