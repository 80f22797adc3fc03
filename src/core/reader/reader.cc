#include "reader.h"

#include "../format/constants.h"
#include "../format/crc32.h"
#include "../format/mapped_index.h"
#include "../platform/file.h"
#include "path_literal.h"

namespace zelkor {

namespace {

// Only the index section is read at open. Without the checksum pass, which
// maps the whole file in, its pages are mapped in as the index build is
// about to read them and leave the process again once they are copied.
class IndexPages final : public KeyIndex::SectionPages {
 public:
  IndexPages(const platform::MappedFile& map, std::uint64_t index_offset) noexcept
      : map_(map), index_offset_(index_offset) {}
  void map_in(std::uint64_t begin, std::uint64_t length) noexcept override {
    map_.populate(index_offset_ + begin, length);
  }
  void copied(std::uint64_t begin, std::uint64_t length) noexcept override {
    map_.release(index_offset_ + begin, length);
  }

 private:
  const platform::MappedFile& map_;
  std::uint64_t index_offset_;
};

}  // namespace

Result<Reader> Reader::open(std::string path, bool check_crc, const OpenOptions& open_options) {
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
  // Without the checksum pass an open touches the header and, for a mapped
  // index, the trailer at the far end: a page each, not the megabytes that
  // the system's read-around would bring in from a cold file. Read-around
  // is back on before any query, for the scans that want it.
  if (!check_crc) reader.map_.read_around(false);

  const std::string_view file = reader.map_.bytes();
  Result<Header> header = decode_header(file);
  if (!header.ok()) return std::move(header).error();
  reader.header_ = header.value();
  // The trailer is read whether or not its index is used: it also says how
  // the values are stored.
  const std::optional<MappedIndexLayout> trailer = find_mapped_index(file, reader.header_);
  if (open_options.use_mapped_index) reader.mapped_ = trailer;
  if (!check_crc && !reader.mapped_) reader.map_.read_around(true);
  if (reader.mapped_) {
    // Nothing to index: the header, the trailer and a compressed store's
    // codec block are all an open reads, besides the checksum pass when
    // asked for.
    if (check_crc) {
      const std::uint32_t crc = crc32_of_large(file.data() + HEADER_SIZE, file.size() - HEADER_SIZE);
      if (crc != reader.header_.file_crc32) return file_crc_mismatch(reader.header_.file_crc32, crc);
    }
    const MappedIndexLayout& layout = *reader.mapped_;
    reader.index_ = KeyIndex::map(file, layout);
    reader.search_ = SearchTree::map(file.data() + layout.heads_offset, layout.search_levels);
    if (Status s = reader.load_codec(reader.mapped_, open_options); !s.ok()) return std::move(s).error();
    if (!check_crc) reader.map_.read_around(true);
    reader.path_ = std::move(path);
    return reader;
  }
  IndexPages pages(reader.map_, reader.header_.index_offset);
  // The checksum of every byte after the header is summed alongside the
  // index build, but a mismatch is reported first, as if it had been
  // checked before the index was walked.
  KeyIndex::Checksum checksum{file.substr(HEADER_SIZE)};
  KeyIndex::Options options;
  options.parallel_from = open_options.parallel_from;
  options.checksum = check_crc ? &checksum : nullptr;
  options.pages = check_crc ? nullptr : &pages;
  Result<KeyIndex> index = KeyIndex::build(file, reader.header_.index_offset, reader.header_.num_keys, options);
  if (check_crc && checksum.crc != reader.header_.file_crc32) {
    return file_crc_mismatch(reader.header_.file_crc32, checksum.crc);
  }
  if (!index.ok()) return std::move(index).error();
  reader.index_ = std::move(index).value();
  reader.search_ = SearchTree(reader.index_);
  if (Status s = reader.load_codec(trailer, open_options); !s.ok()) return std::move(s).error();
  reader.path_ = std::move(path);
  return reader;
}

// After every other check of the open, so that a damaged file reports
// what the checksum pass or the index found first.
Status Reader::load_codec(const std::optional<MappedIndexLayout>& layout, const OpenOptions& options) {
  decode_values_ = options.decode_values;
  if (!layout || layout->codec_size == 0) return Status();
  compressed_ = true;
  Result<ValueCodec> codec = ValueCodec::load(layout->codec_block(file()));
  if (!codec.ok()) {
    if (decode_values_) return std::move(codec).error();
    codec_error_ = std::move(codec).error();
    return Status();
  }
  codec_.emplace(std::move(codec).value());
  return Status();
}

Result<StoredValue> Reader::value(std::uint64_t object_offset) const {
  Result<std::string_view> payload = fetch(object_offset);
  if (!payload.ok()) return std::move(payload).error();
  const std::string_view stored = payload.value();
  if (!decode_values_ || !codec_ || !is_compressed(stored)) {
    return StoredValue{stored, stored.size(), false, object_offset};
  }
  Result<std::size_t> size = codec_->decoded_size(stored);
  if (!size.ok()) return std::move(size).error().with_context("object at " + std::to_string(object_offset));
  return StoredValue{stored, size.value(), true, object_offset};
}

Status Reader::decode(const StoredValue& value, char* dst) const {
  Status s = codec_->decode(value.stored, dst, value.size);
  if (!s.ok()) return std::move(s).error().with_context("object at " + std::to_string(value.object_offset));
  return s;
}

std::string Reader::describe() const {
  return "_ZelkReader('" + path_ + "', keys=" + std::to_string(header_.num_keys) +
         ", objects=" + std::to_string(header_.num_objects) + ")";
}

}  // namespace zelkor
