// The process's standard output, written directly (descriptor 1 on POSIX),
// not through the buffers of the C or C++ library.
#pragma once

#include <string_view>

#include "../util/result.h"

namespace zelkor::platform {

// Writes all of `text` to standard output, going on after partial writes.
// A process without standard output (its descriptor closed) counts as
// written to; any other failure is the system's error.
Status write_standard_output(std::string_view text);

}  // namespace zelkor::platform
