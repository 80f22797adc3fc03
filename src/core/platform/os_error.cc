#include "os_error.h"

#include <string>

#include "system.h"

namespace zelkor::platform {

std::string render_os_error(int code) {
  std::string text = system::error_message(code);
  while (!text.empty() && (text.back() == ' ' || (text.back() >= '\t' && text.back() <= '\r'))) text.pop_back();
  if (text.empty()) text = "Unknown error";
  text += " (os error ";
  text += std::to_string(code);
  text += ')';
  return text;
}

CoreError os_error(int code, std::string_view context) {
  return CoreError::io(render_os_error(code)).with_context(context);
}

}  // namespace zelkor::platform
