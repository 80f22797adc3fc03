#pragma once

#include <string>
#include <string_view>

namespace zelkor {

// `path` as a double-quoted literal for messages: backslash and double quote
// escaped with a backslash; tab, CR, LF and NUL as \t \r \n \0; other
// non-printable characters and combining marks as \u{hex}; everything else,
// non-ASCII letters included, as itself.
std::string quoted_path(std::string_view path);

}  // namespace zelkor
