// A store file opened for reading: the read-only map of the whole file, the
// header values kept from it, and the index of every key. Immutable after
// open, so any number of threads may share one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "../format/header.h"
#include "../format/object_record.h"
#include "../platform/mapped_file.h"
#include "../util/result.h"
#include "key_index.h"
#include "search_tree.h"
#include "value_codec.h"

namespace zelkor {

struct OpenOptions {
  // Use the file's mapped index when it carries one that agrees with its
  // header; otherwise (and when false) every key is indexed in memory.
  bool use_mapped_index = true;
  // From this many keys on, two threads build an index in memory.
  std::size_t parallel_from = KeyIndex::PARALLEL_FROM;
  // Hand out values as they were added: a compressed store's payloads
  // decoded (value()). Such a store then opens only when its codec loads;
  // otherwise a reader hands out what is stored, and its codec matters to
  // verify() alone.
  bool decode_values = false;
};

// An object's payload as a reader hands it out: the stored bytes, or for a
// compressed one, its frame and the length of the value it decodes to.
struct StoredValue {
  std::string_view stored;
  std::size_t size = 0;
  bool compressed = false;
  std::uint64_t object_offset = 0;
};

class Reader {
 public:
  // Opens `path`, applies the header checks in order, checks the whole-file
  // CRC when `check_crc` is set, then maps the file's mapped index or
  // indexes every key in memory.
  static Result<Reader> open(std::string path, bool check_crc, const OpenOptions& options = OpenOptions());

  // Object offset of `key`; never touches the file.
  std::optional<std::uint64_t> find(std::string_view key) const noexcept { return index_.find(key); }
  // The payload of the object at `object_offset`, as a view into the map.
  Result<std::string_view> fetch(std::uint64_t object_offset) const { return fetch_object(file(), object_offset); }

  // The payload of the object at `object_offset` as this reader hands it
  // out: as stored, unless the reader decodes values and it is compressed,
  // its decoded length then checked against the codec's bounds; decode()
  // then writes its `size` bytes.
  Result<StoredValue> value(std::uint64_t object_offset) const;
  Status decode(const StoredValue& value, char* dst) const;

  // Whether the store's values are compressed (its mapped index names a
  // codec description), and that codec once loaded; nullptr for a store
  // without one, or one whose description is damaged, or without zstd.
  bool compressed() const noexcept { return compressed_; }
  const ValueCodec* codec() const noexcept { return codec_ ? &*codec_ : nullptr; }
  // Why a compressed store's codec did not load, when it did not.
  const std::optional<CoreError>& codec_error() const noexcept { return codec_error_; }
  bool decodes_values() const noexcept { return decode_values_; }

  // Hints that the record at `object_offset` is about to be fetched.
  void prefetch_object(std::uint64_t object_offset) const noexcept {
    if (object_offset < map_.size()) __builtin_prefetch(map_.bytes().data() + object_offset);
  }
  // The same for the record of entry i + LISTING_AHEAD, for listings that
  // walk the entries in order; the records lie in object order, not key
  // order, so each is a cache miss worth overlapping with the others.
  static constexpr std::size_t LISTING_AHEAD = 8;
  void prefetch_ahead(std::size_t i) const noexcept {
    if (i + LISTING_AHEAD < entry_count()) prefetch_object(object_offset_at(i + LISTING_AHEAD));
  }

  // The index itself, for queries that drive its lookups step by step.
  const KeyIndex& index() const noexcept { return index_; }

  // Entries in index order.
  std::size_t entry_count() const noexcept { return index_.size(); }
  std::string_view key_at(std::size_t i) const noexcept { return index_.key_at(i); }
  std::uint64_t object_offset_at(std::size_t i) const noexcept { return index_.object_offset_at(i); }

  // First position whose key is not less than `prefix`, by the halving
  // search over the stored order; entry_count() when there is none.
  std::size_t lower_bound(std::string_view prefix) const noexcept { return search_.lower_bound(index_, prefix); }
  // Whether the key at position i starts with `prefix`.
  bool key_has_prefix(std::size_t i, std::string_view prefix) const noexcept {
    const std::string_view key = key_at(i);
    return key.size() >= prefix.size() && key.compare(0, prefix.size(), prefix) == 0;
  }

  // The whole-file CRC, then each distinct referenced object's bounds and
  // payload CRC (and for a compressed payload, that it decodes within the
  // codec's bounds), in index order, then that the mapped index (if in
  // use) agrees with the entries; the first failure is returned.
  Status verify() const;

  // The metadata a mapped index carries for the package, after the codec
  // description (format/mapped_index.h); nullopt for a file without one,
  // or when it is not in use.
  std::optional<std::string_view> metadata() const noexcept {
    if (!mapped_) return std::nullopt;
    return file().substr(mapped_->metadata_offset + mapped_->codec_size, mapped_->metadata_size - mapped_->codec_size);
  }

  // The layout of the mapped index in use; nullopt for an index in memory.
  const std::optional<MappedIndexLayout>& mapped_index() const noexcept { return mapped_; }

  // "_ZelkReader('{path}', keys={num_keys}, objects={num_objects})".
  std::string describe() const;

  const std::string& path() const noexcept { return path_; }
  const Header& header() const noexcept { return header_; }
  std::uint64_t file_size() const noexcept { return map_.size(); }
  std::string_view file() const noexcept { return map_.bytes(); }

 private:
  platform::MappedFile map_;
  std::string path_;
  Header header_;
  KeyIndex index_;
  SearchTree search_;
  std::optional<MappedIndexLayout> mapped_;
  bool compressed_ = false;
  bool decode_values_ = false;
  std::optional<ValueCodec> codec_;
  // Why a compressed store's codec did not load.
  std::optional<CoreError> codec_error_;

  Status load_codec(const std::optional<MappedIndexLayout>& layout, const OpenOptions& options);
  Status verify_mapped_index() const;
};

}  // namespace zelkor
