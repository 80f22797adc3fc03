#include "path_literal.h"

#include <cstdint>
#include <cstdio>
#include <iterator>

namespace zelkor {

namespace {

struct Range {
  char32_t first, last;
};

// Format and control characters, separators other than space, private use
// and non-characters: shown escaped because they are invisible or ambiguous.
constexpr Range NOT_PRINTABLE[] = {
    {0x0080, 0x009F},   {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},
    {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x180E, 0x180E},   {0x200B, 0x200F},
    {0x2028, 0x202E},   {0x2060, 0x206F},   {0xD800, 0xF8FF},   {0xFEFF, 0xFEFF},
    {0xFFF9, 0xFFFB},   {0xFFFE, 0xFFFF},   {0x110BD, 0x110BD}, {0x1D173, 0x1D17A},
    {0xE0000, 0xE001F}, {0xE0080, 0xE00FF}, {0xE01F0, 0x10FFFF},
};

// Marks that extend the character before them (the common combining blocks).
constexpr Range COMBINING[] = {
    {0x0300, 0x036F},   {0x0483, 0x0489},   {0x0591, 0x05BD},   {0x05BF, 0x05BF},
    {0x05C1, 0x05C2},   {0x05C4, 0x05C5},   {0x05C7, 0x05C7},   {0x0610, 0x061A},
    {0x064B, 0x065F},   {0x0670, 0x0670},   {0x06D6, 0x06DC},   {0x06DF, 0x06E4},
    {0x06E7, 0x06E8},   {0x06EA, 0x06ED},   {0x0711, 0x0711},   {0x0730, 0x074A},
    {0x0900, 0x0902},   {0x093A, 0x093A},   {0x093C, 0x093C},   {0x0941, 0x0948},
    {0x094D, 0x094D},   {0x0951, 0x0957},   {0x0962, 0x0963},   {0x0E31, 0x0E31},
    {0x0E34, 0x0E3A},   {0x0E47, 0x0E4E},   {0x1AB0, 0x1AFF},   {0x1DC0, 0x1DFF},
    {0x200C, 0x200C},   {0x20D0, 0x20FF},   {0x302A, 0x302F},   {0x3099, 0x309A},
    {0xFE00, 0xFE0F},   {0xFE20, 0xFE2F},   {0x1F3FB, 0x1F3FF}, {0xE0020, 0xE007F},
    {0xE0100, 0xE01EF},
};

template <std::size_t N>
bool in_ranges(char32_t c, const Range (&ranges)[N]) {
  for (const Range& r : ranges) {
    if (c < r.first) return false;
    if (c <= r.last) return true;
  }
  return false;
}

constexpr char32_t MALFORMED = 0xFFFFFFFF;

// Decodes one UTF-8 character at p (n > 0 bytes left); a byte that starts no
// well-formed sequence decodes as MALFORMED and is passed over alone.
char32_t next_char(const unsigned char* p, std::size_t n, std::size_t* used) {
  const unsigned char b = p[0];
  int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
  *used = 1;
  if (b < 0x80) return b;
  if (b < 0xC2 || b >= 0xF5 || static_cast<std::size_t>(extra) >= n) return MALFORMED;
  char32_t c = b & (0x3F >> extra);
  for (int i = 1; i <= extra; ++i) {
    if ((p[i] & 0xC0) != 0x80) return MALFORMED;
    c = (c << 6) | (p[i] & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not characters.
  if ((extra == 2 && c < 0x800) || (extra == 3 && (c < 0x10000 || c > 0x10FFFF)) || (c >= 0xD800 && c <= 0xDFFF)) {
    return MALFORMED;
  }
  *used = static_cast<std::size_t>(extra) + 1;
  return c;
}

}  // namespace

std::string quoted_path(std::string_view path) {
  std::string out = "\"";
  const auto* p = reinterpret_cast<const unsigned char*>(path.data());
  std::size_t i = 0;
  while (i < path.size()) {
    std::size_t used = 1;
    const char32_t c = next_char(p + i, path.size() - i, &used);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      case MALFORMED: out += "\\u{fffd}"; break;
      default:
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && (in_ranges(c, NOT_PRINTABLE) || in_ranges(c, COMBINING)))) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
          out += buf;
        } else {
          out.append(path.data() + i, used);
        }
    }
    i += used;
  }
  out += '"';
  return out;
}

}  // namespace zelkor
