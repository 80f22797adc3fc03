// 128-bit unsigned integer for exact wide products and sums (a compiler
// extension of GCC and Clang).
#pragma once

namespace zelkor {

__extension__ typedef unsigned __int128 uint128;

}  // namespace zelkor
