// Errors of operating-system calls. The platform layer is the one place that
// turns the system's error codes (errno values on POSIX) into text, so every
// such error reads the same: "{system message} (os error {code})".
#pragma once

#include <string>
#include <string_view>

#include "../util/core_error.h"

namespace zelkor::platform {

// The system's message for error `code` with trailing white space removed,
// followed by " (os error {code})".
std::string render_os_error(int code);

// An Io error whose text is render_os_error(code), preceded by
// "{context}: " unless `context` is empty.
CoreError os_error(int code, std::string_view context = {});

}  // namespace zelkor::platform
