// How this system spells paths: which characters separate their components.
#pragma once

namespace zelkor::platform {

// "/" everywhere; on Windows "\" as well.
constexpr bool is_path_separator(char c) noexcept {
#if defined(_WIN32)
  return c == '/' || c == '\\';
#else
  return c == '/';
#endif
}

}  // namespace zelkor::platform
