// The operating system's random source.
#pragma once

#include <cstddef>

#include "../util/key_hash.h"

namespace zelkor::platform {

// Fills [out, out + size) with random bytes from the system. Never fails:
// where the system's source gives nothing (a very old kernel, a sandbox
// that forbids it), clock and address noise stand in. So the bytes suit
// seeds for hashing against chosen inputs, never secrets.
void fill_random(void* out, std::size_t size) noexcept;

// A fresh hash key for a table in memory: derived from 256 random bits drawn
// once per process and a per-call counter, so no two tables share one.
HashKey new_hash_key() noexcept;

}  // namespace zelkor::platform
