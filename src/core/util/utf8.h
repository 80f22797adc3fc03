// UTF-8 well-formedness, as the Unicode Standard defines it: no overlong
// forms, no surrogates (U+D800..U+DFFF), nothing past U+10FFFF.
#pragma once

#include <string_view>

namespace zelkor {

bool is_utf8(std::string_view bytes) noexcept;

}  // namespace zelkor
