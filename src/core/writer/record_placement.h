// Where a build puts each object record in the data section: in key order,
// each object at the place of the first of its keys in key order, and the
// objects that no key refers to after them, in id order. Walks in key order
// (listings, prefix and range scans) then read the data section front to
// back. The place depends only on the keys, the objects and which key maps
// to which object, never on the order they were added in, so one content
// always gives one file.
#pragma once

#include <cstdint>
#include <queue>
#include <utility>
#include <vector>

#include "../platform/memory.h"
#include "key_order.h"
#include "lookup_sections.h"
#include "writer.h"

namespace zelkor {

// The objects whose first keys hash lowest: a sample that depends only on
// the content, whatever order it was added in, and that a walk in key order
// gathers in one pass and at most `limit` entries of memory.
class LowestHashes {
 public:
  explicit LowestHashes(std::size_t limit) noexcept : limit_(limit) {}
  // Offers the record at place `k` of the section, whose first key hashes
  // to `hash`. Ties go to the earlier place.
  void offer(std::uint64_t hash, std::uint64_t k);
  // The places kept, lowest hash first; empties the set.
  std::vector<std::uint64_t> take_by_hash();

 private:
  std::size_t limit_;
  std::priority_queue<std::pair<std::uint64_t, std::uint64_t>> kept_;  // the highest hash on top
};

class RecordPlacement {
 public:
  // `order` is the complete key order of the writer's keys; `digest`, when
  // given, gets every key in key order on the way, and `sample`, when
  // given (with `digest`), the place and first key's digest hash of every
  // object that a key reaches.
  RecordPlacement(const Writer& writer, const KeyOrder& order, KeyDigest* digest, LowestHashes* sample = nullptr);

  // The offset of object `id`'s record from the start of the data section,
  // for every id; index them as Writer::record_offset is indexed.
  const std::uint64_t* offsets() const noexcept { return offsets_.data(); }
  // The object ids in the order their records lie in the section.
  const std::vector<std::uint64_t, platform::HugePageAllocator<std::uint64_t>>& ids() const noexcept {
    return ids_;
  }
  // The length of object `id`'s record (head and payload).
  std::uint64_t record_size(std::uint64_t id) const noexcept;
  // Object `id`'s payload, as the writer holds it.
  std::string_view payload(std::uint64_t id) const noexcept;

 private:
  const Writer& writer_;
  std::vector<std::uint64_t, platform::HugePageAllocator<std::uint64_t>> offsets_;
  std::vector<std::uint64_t, platform::HugePageAllocator<std::uint64_t>> ids_;
};

}  // namespace zelkor
