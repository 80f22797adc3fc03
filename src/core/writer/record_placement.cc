#include "record_placement.h"

namespace zelkor {

namespace {

constexpr std::uint64_t UNPLACED = ~std::uint64_t{0};

}  // namespace

RecordPlacement::RecordPlacement(const Writer& writer, const KeyOrder& order, KeyDigest* digest)
    : writer_(writer), offsets_(writer.object_count(), UNPLACED) {
  const std::uint64_t objects = writer.object_count();
  ids_.reserve(objects);
  std::uint64_t at = 0;
  auto place = [&](std::uint64_t id) {
    offsets_[id] = at;
    ids_.push_back(id);
    at += record_size(id);
  };
  const char* arena = writer.keys().arena().data();
  constexpr std::size_t AHEAD = 12;
  const std::size_t n = order.size();
  for (std::size_t i = 0; i < n; ++i) {
    // The entries lie in insertion order: each is a cache miss, overlapped
    // with those of the next few.
    if (i + 2 * AHEAD < n) {
      // An entry's object id follows its key, often on the next line.
      const char* ahead = arena + order.entry(i + 2 * AHEAD);
      __builtin_prefetch(ahead);
      __builtin_prefetch(ahead + KeyTable::KEY_AT + order.key_length(i + 2 * AHEAD));
    }
    if (i + AHEAD < n) {
      const std::uint64_t ahead = KeyTable::object_id_of(arena + order.entry(i + AHEAD));
      __builtin_prefetch(&offsets_[ahead]);
      __builtin_prefetch(&writer.record_offset(ahead));
    }
    const char* entry = arena + order.entry(i);
    if (digest != nullptr) digest->add(KeyTable::key_of(entry));
    const std::uint64_t id = KeyTable::object_id_of(entry);
    if (offsets_[id] == UNPLACED) place(id);
  }
  for (std::uint64_t id = 0; id < objects; ++id) {
    if (offsets_[id] == UNPLACED) place(id);
  }
}

std::uint64_t RecordPlacement::record_size(std::uint64_t id) const noexcept {
  const std::uint64_t end = id + 1 < writer_.object_count() ? writer_.record_offset(id + 1) : writer_.data_section().size();
  return end - writer_.record_offset(id);
}

}  // namespace zelkor
