#include "record_placement.h"

#include "../format/constants.h"
#include "../platform/background_task.h"

namespace zelkor {

namespace {

constexpr std::uint64_t UNPLACED = ~std::uint64_t{0};

}  // namespace

void LowestHashes::offer(std::uint64_t hash, std::uint64_t k) {
  if (limit_ == 0) return;
  if (kept_.size() < limit_) {
    kept_.emplace(hash, k);
  } else if (std::pair(hash, k) < kept_.top()) {
    kept_.pop();
    kept_.emplace(hash, k);
  }
}

std::vector<std::uint64_t> LowestHashes::take_by_hash() {
  std::vector<std::uint64_t> places(kept_.size());
  for (std::size_t i = places.size(); i-- > 0; kept_.pop()) places[i] = kept_.top().second;
  return places;
}

RecordPlacement::RecordPlacement(const Writer& writer, const KeyOrder& order, KeyDigest* digest,
                                 LowestHashes* sample)
    : writer_(writer), offsets_(writer.object_count(), UNPLACED) {
  const std::uint64_t objects = writer.object_count();
  const std::size_t n = order.size();
  // First, on both threads, each key's object id and its digest hash, by
  // rank: the entries lie in insertion order, so each is a cache miss,
  // overlapped with those of the next few.
  std::vector<std::uint64_t, platform::HugePageAllocator<std::uint64_t>> ids_by_rank(n);
  std::vector<std::uint64_t, platform::HugePageAllocator<std::uint64_t>> hashes(digest != nullptr ? n : 0);
  const char* arena = writer.keys().arena().data();
  auto gather = [&](std::size_t begin, std::size_t end) {
    constexpr std::size_t AHEAD = 16;
    for (std::size_t i = begin; i < end; ++i) {
      if (i + AHEAD < end) {
        // An entry's object id follows its key, often on the next line.
        const char* ahead = arena + order.entry(i + AHEAD);
        __builtin_prefetch(ahead);
        __builtin_prefetch(ahead + KeyTable::KEY_AT + order.key_length(i + AHEAD));
      }
      const char* entry = arena + order.entry(i);
      ids_by_rank[i] = KeyTable::object_id_of(entry);
      if (digest != nullptr) hashes[i] = KeyDigest::hash_of(KeyTable::key_of(entry));
    }
  };
  {
    const std::size_t half = n >= KEYS_WORTH_A_THREAD ? n / 2 : n;
    platform::BackgroundTask second([&] { gather(half, n); }, half < n);
    gather(0, half);
    second.wait();
  }
  if (digest != nullptr) {
    for (std::size_t i = 0; i < n; ++i) digest->add_hash(hashes[i]);
  }
  // Then the places, in key order.
  ids_.reserve(objects);
  std::uint64_t at = 0;
  auto place = [&](std::uint64_t id) {
    offsets_[id] = at;
    ids_.push_back(id);
    at += record_size(id);
  };
  constexpr std::size_t AHEAD = 32;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + AHEAD < n) {
      __builtin_prefetch(&offsets_[ids_by_rank[i + AHEAD]]);
      __builtin_prefetch(&writer.record_offset(ids_by_rank[i + AHEAD]));
    }
    const std::uint64_t id = ids_by_rank[i];
    if (offsets_[id] != UNPLACED) continue;
    if (sample != nullptr && digest != nullptr) sample->offer(hashes[i], ids_.size());
    place(id);
  }
  for (std::uint64_t id = 0; id < objects; ++id) {
    if (offsets_[id] == UNPLACED) place(id);
  }
}

std::string_view RecordPlacement::payload(std::uint64_t id) const noexcept {
  return writer_.data_section().substr(writer_.record_offset(id) + RECORD_HEAD_SIZE,
                                       record_size(id) - RECORD_HEAD_SIZE);
}

std::uint64_t RecordPlacement::record_size(std::uint64_t id) const noexcept {
  const std::uint64_t end = id + 1 < writer_.object_count() ? writer_.record_offset(id + 1) : writer_.data_section().size();
  return end - writer_.record_offset(id);
}

}  // namespace zelkor
