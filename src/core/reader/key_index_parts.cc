// The slot table of a large index, filled by two threads without locks and
// without atomic operations on the table, in three steps once the entries
// have been walked:
//
// 1. The entries, in a few runs, are hashed and sorted by hash into
//    buckets, each bucket the entries whose home slots lie in one stretch
//    of the table small enough to stay in the core's cache.
// 2. The buckets, in groups, are inserted into the table, bucket after
//    bucket: each group into its own stretch of the table. A probe that
//    would leave the group's stretch is set aside instead, so no two groups
//    ever read or write the same slot.
// 3. What was set aside (and what did not fit its bucket) is inserted, while
//    the section is copied into the arena in pieces.
//
// Each step's runs, groups or pieces are taken by whichever thread comes
// for them (SharedWork), so a thread that the system keeps waiting costs
// little. Entries arrive in no particular order, so a key listed twice keeps
// the entry with the larger position wherever the two meet: the later entry
// in index order wins, as in the one-thread build, whatever the timing.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>

#include "key_index.h"

namespace zelkor {

namespace {

// Slots per bucket: 256 KiB of the table.
constexpr int BUCKET_SLOTS_LOG2 = 15;
// Step 1 in this many runs, step 2 in this many groups at most.
constexpr std::size_t RUNS = 32;
constexpr std::size_t GROUPS = 1024;
// Step 3 copies pieces of this size.
constexpr std::uint64_t COPY_PIECE = std::uint64_t{1} << 20;
// Inserts look this many entries ahead for their prefetches.
constexpr std::size_t AHEAD = 16;
// A piece takes well under this; a longer wait for the second thread means
// the system has put it aside.
constexpr auto LATE = std::chrono::microseconds(300);

std::size_t isqrt(std::size_t n) noexcept {
  std::size_t r = 0;
  for (std::size_t bit = std::size_t{1} << (std::bit_width(n) / 2 * 2); bit != 0; bit >>= 2) {
    if (n >= r + bit) {
      n -= r + bit;
      r = (r >> 1) + bit;
    } else {
      r >>= 1;
    }
  }
  return r;
}

}  // namespace

KeyIndex::PartsBuild::PartsBuild(KeyIndex& index, const char* section, std::uint64_t section_size,
                                 std::atomic<bool>& alone)
    : ix_(index),
      section_(section),
      section_size_(section_size),
      alone_(alone),
      bits_(std::max(1, static_cast<int>(std::bit_width(index.codec_.slot_count() >> BUCKET_SLOTS_LOG2)))),
      buckets_(std::size_t{1} << bits_),
      runs_(std::min(RUNS, index.entry_count_)),
      run_entries_((index.entry_count_ + runs_ - 1) / runs_),
      groups_(std::min(GROUPS, buckets_)),
      scatter_(runs_),
      insert_(groups_),
      copy_(1 + static_cast<std::size_t>((section_size + COPY_PIECE - 1) / COPY_PIECE)) {
  // Four standard deviations above the mean: a bucket overflows rarely,
  // unless keys repeat.
  const std::size_t mean = run_entries_ / buckets_;
  capacity_ = mean + 4 * isqrt(mean) + 16;
  filled_.assign(runs_ * buckets_, 0);
  overflow_.resize(runs_);
  deferred_.resize(groups_);
  // The buckets borrow the arena's memory until the section is copied
  // there, when it has room for them: that saves zeroing fresh pages.
  arena_ = index.arena_.extend(section_size);
  const std::size_t room = runs_ * buckets_ * capacity_;
  if (room * sizeof(Hashed) <= section_size) {
    room_ = arena_;
  } else {
    owned_room_ = ZeroedArray<Hashed>(room);
    room_ = reinterpret_cast<char*>(owned_room_.data());
  }
}

void KeyIndex::PartsBuild::take_part(bool second) noexcept {
  auto step = [&](SharedWork& work, auto&& piece) {
    if (second) {
      if (alone_.load(std::memory_order_relaxed)) return false;
      work.take_pieces(piece, &alone_);
      return work.wait() && !alone_.load(std::memory_order_relaxed);
    }
    work.take_pieces(piece);
    const auto waiting = std::chrono::steady_clock::now();
    const bool ok = work.wait();
    if (std::chrono::steady_clock::now() - waiting > LATE) alone_.store(true, std::memory_order_relaxed);
    return ok;
  };
  if (!step(scatter_, [this](std::size_t run) { scatter(run); })) return;
  if (!step(insert_, [this](std::size_t group) { insert_group(group); })) return;
  step(copy_, [this](std::size_t piece) {
    if (piece == 0) {
      insert_rest();
      return;
    }
    const std::uint64_t begin = (piece - 1) * COPY_PIECE;
    std::memcpy(arena_ + begin, section_ + begin, std::min(COPY_PIECE, section_size_ - begin));
  });
}

void KeyIndex::PartsBuild::rethrow_failure() {
  scatter_.rethrow_failure();
  insert_.rethrow_failure();
  copy_.rethrow_failure();
}

// The room is raw bytes (it may be the arena's), so entries are copied in
// and out rather than pointed at.
void KeyIndex::PartsBuild::put(std::size_t at, const Hashed& h) noexcept {
  std::memcpy(room_ + at * sizeof(Hashed), &h, sizeof h);
}

KeyIndex::Hashed KeyIndex::PartsBuild::get(std::size_t at) const noexcept {
  Hashed h;
  std::memcpy(&h, room_ + at * sizeof(Hashed), sizeof h);
  return h;
}

std::uint64_t KeyIndex::PartsBuild::first_slot(std::size_t bucket) const noexcept {
  return bucket == buckets_ ? ix_.codec_.slot_count() : ix_.home_slot(std::uint64_t{bucket} << (64 - bits_));
}

void KeyIndex::PartsBuild::scatter(std::size_t run) {
  const std::size_t begin = run * run_entries_;
  const std::size_t end = std::min(ix_.entry_count_, begin + run_entries_);
  std::size_t* filled = filled_.data() + run * buckets_;
  const std::size_t base = run * buckets_ * capacity_;
  const int shift = 64 - bits_;
  for (std::size_t k = begin; k < end; ++k) {
    const std::uint64_t position = ix_.entry_position(k);
    const std::string_view key = entry_key(section_ + position);
    const Hashed h{hash_key(key.data(), key.size(), ix_.hash_key_), position};
    const auto bucket = static_cast<std::size_t>(h.hash >> shift);
    if (filled[bucket] < capacity_) {
      put(base + bucket * capacity_ + filled[bucket]++, h);
    } else {
      overflow_[run].push_back(h);
    }
  }
}

void KeyIndex::PartsBuild::insert_group(std::size_t group) {
  const std::size_t first = group * (buckets_ / groups_);
  const std::size_t last = first + buckets_ / groups_;
  const std::uint64_t end_slot = first_slot(last);
  for (std::size_t bucket = first; bucket < last; ++bucket) {
    for (std::size_t run = 0; run < runs_; ++run) {
      const std::size_t base = (run * buckets_ + bucket) * capacity_;
      const std::size_t count = filled_[run * buckets_ + bucket];
      for (std::size_t i = 0; i < count; ++i) {
        if (i + AHEAD < count) __builtin_prefetch(&ix_.slots_[ix_.home_slot(get(base + i + AHEAD).hash)], 1);
        const Hashed h = get(base + i);
        if (!insert_before(h, end_slot)) deferred_[group].push_back(h);
      }
    }
  }
}

void KeyIndex::PartsBuild::insert_rest() noexcept {
  for (const std::vector<Hashed>& set_aside : deferred_) {
    for (const Hashed& h : set_aside) insert_anywhere(h);
  }
  for (const std::vector<Hashed>& set_aside : overflow_) {
    for (const Hashed& h : set_aside) insert_anywhere(h);
  }
}

// Inserts into the slots before `end_slot`; false when the probe reaches it.
// Entries come in hash order here, so each key read (on a tag match) is a
// cache miss.
bool KeyIndex::PartsBuild::insert_before(const Hashed& h, std::uint64_t end_slot) noexcept {
  for (std::uint64_t s = ix_.home_slot(h.hash); s < end_slot; ++s) {
    if (ix_.place(s, h.hash, h.position, section_)) return true;
  }
  return false;
}

void KeyIndex::PartsBuild::insert_anywhere(const Hashed& h) noexcept {
  std::uint64_t s = ix_.home_slot(h.hash);
  while (!ix_.place(s, h.hash, h.position, section_)) s = ix_.next_slot(s);
}

}  // namespace zelkor
