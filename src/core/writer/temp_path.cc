#include "temp_path.h"

#include "../platform/path_syntax.h"

namespace zelkor {

namespace {

using platform::is_path_separator;

struct FinalComponent {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool found = false;
};

// Trailing separators and "." components name no file of their own and are
// passed over, as path libraries do ("out/" and "out/." end in "out").
FinalComponent final_component(std::string_view path) {
  std::size_t end = path.size();
  for (;;) {
    while (end > 0 && is_path_separator(path[end - 1])) --end;
    if (end >= 2 && path[end - 1] == '.' && is_path_separator(path[end - 2])) {
      --end;
      continue;
    }
    break;
  }
  std::size_t begin = end;
  while (begin > 0 && !is_path_separator(path[begin - 1])) --begin;
  const std::string_view name = path.substr(begin, end - begin);
  if (name.empty() || name == "." || name == "..") return {};
  return {begin, end, true};
}

}  // namespace

std::string temporary_path_for(std::string_view path) {
  const FinalComponent c = final_component(path);
  if (!c.found) return std::string(path);
  const std::string_view name = path.substr(c.begin, c.end - c.begin);
  const std::size_t dot = name.rfind('.');
  std::string out(path.substr(0, c.begin));
  if (dot == std::string_view::npos || dot == 0) {
    out += name;
    out += ".zlkr.tmp";
  } else {
    out += name.substr(0, dot + 1);
    out += "zlkr.tmp";
  }
  return out;
}

std::string containing_directory(std::string_view path) {
  const FinalComponent c = final_component(path);
  std::size_t cut = c.found ? c.begin : path.size();
  while (cut > 0 && is_path_separator(path[cut - 1])) --cut;
  if (cut == 0) return (!path.empty() && is_path_separator(path[0])) ? std::string(1, path[0]) : ".";
  return std::string(path.substr(0, cut));
}

}  // namespace zelkor
