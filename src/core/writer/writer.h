// Writer state: the objects in id order, already laid out as the object
// records of a data section, and the key map. Grows only; never shrinks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../platform/memory.h"
#include "../platform/byte_buffer.h"
#include "../util/result.h"
#include "key_table.h"

namespace zelkor {

class Writer {
 public:
  // Appends a copy of `payload` and returns its object id. Throws
  // std::bad_alloc with the writer unchanged. An object longer than
  // MAX_OBJECT_SIZE is accepted here and refused by build.
  std::uint64_t add_object(std::string_view payload);

  // Maps `key` to `object_id` after checking, in order, the id and the key
  // length. A failure leaves the writer unchanged.
  Status add_key(std::string_view key, std::uint64_t object_id);

  std::uint64_t object_count() const noexcept { return record_offsets_.size(); }
  std::uint64_t key_count() const noexcept { return keys_.size(); }

  // "_ZelkWriter(objects={n}, keys={k})".
  std::string describe() const;

  // The object records back to back, as the data section of a file.
  std::string_view data_section() const noexcept { return data_.view(); }
  // Offset of object `id`'s record from the start of the data section.
  const std::uint64_t& record_offset(std::uint64_t id) const noexcept { return record_offsets_[id]; }
  // Every object's record_offset, indexed by id.
  const std::uint64_t* record_offsets() const noexcept { return record_offsets_.data(); }
  // Length of the first object, in id order, too long for the format.
  std::optional<std::uint64_t> first_oversized_object() const noexcept { return first_oversized_; }
  const KeyTable& keys() const noexcept { return keys_; }

 private:
  ByteBuffer data_;
  std::vector<std::uint64_t, platform::HugePageAllocator<std::uint64_t>> record_offsets_;
  std::optional<std::uint64_t> first_oversized_;
  KeyTable keys_;
};

}  // namespace zelkor
