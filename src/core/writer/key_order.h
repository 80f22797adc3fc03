#pragma once

#include <cstdint>
#include <vector>

#include "key_table.h"

namespace zelkor {

// The arena offset of every entry of `table`, in ascending unsigned
// bytewise key order (a key before every longer key it is a prefix of).
std::vector<std::uint64_t> sorted_key_order(const KeyTable& table);

}  // namespace zelkor
