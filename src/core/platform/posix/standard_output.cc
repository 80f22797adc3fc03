#include "../standard_output.h"

#include <errno.h>
#include <unistd.h>

#include "../os_error.h"

namespace zelkor::platform {

Status write_standard_output(std::string_view text) {
  const char* p = text.data();
  std::size_t n = text.size();
  while (n > 0) {
    const ssize_t w = ::write(STDOUT_FILENO, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      if (errno == EBADF) return Status();
      return os_error(errno);
    }
    if (w == 0) return os_error(EIO);
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return Status();
}

}  // namespace zelkor::platform
