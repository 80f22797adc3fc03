// Helpers shared by the fuzz targets and the seed generator: a reusable
// in-memory file with a path, a table CRC-32 independent of the core's
// backend, and a plain model of how a store file reads.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelkor_fuzz {

[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "fuzz check failed: %s %s\n", what, detail.c_str());
  std::abort();
}

#define ZF_CHECK(cond, detail)                  \
  do {                                          \
    if (!(cond)) ::zelkor_fuzz::fail(#cond, detail); \
  } while (0)

// One file whose contents are replaced for every input. A memfd named
// through /proc/self/fd needs no disk and no cleanup; where memfd_create is
// missing a temporary file stands in.
class ImageFile {
 public:
  ImageFile() {
    fd_ = ::memfd_create("zelkor-fuzz", MFD_CLOEXEC);
    if (fd_ >= 0) {
      path_ = "/proc/self/fd/" + std::to_string(fd_);
      if (::access(path_.c_str(), R_OK) == 0) return;
      ::close(fd_);
    }
    const char* dir = std::getenv("TMPDIR");
    std::string templ = std::string(dir != nullptr ? dir : "/tmp") + "/zelkor-fuzz-XXXXXX";
    fd_ = ::mkstemp(templ.data());
    if (fd_ < 0) fail("cannot create the image file", std::to_string(errno));
    path_ = templ;
    ::unlink(path_.c_str());
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  // Replaces the contents; no reader may still map the old ones.
  void set(const std::uint8_t* data, std::size_t size) {
    if (::ftruncate(fd_, 0) != 0) fail("ftruncate", std::to_string(errno));
    std::size_t done = 0;
    while (done < size) {
      const ssize_t w = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      if (w <= 0) fail("pwrite", std::to_string(errno));
      done += static_cast<std::size_t>(w);
    }
  }
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

inline std::uint32_t crc32(const std::uint8_t* p, std::size_t n) {
  static const auto table = [] {
    std::vector<std::uint32_t> t(256);
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

inline std::uint64_t be(const std::uint8_t* p, int width) {
  std::uint64_t v = 0;
  for (int i = 0; i < width; ++i) v = (v << 8) | p[i];
  return v;
}

inline std::string hex8(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

// What opening a file must give: an error line, or the entries.
struct ModelOpen {
  std::optional<std::string> error;  // rendered, with its kind prefix
  std::uint32_t num_keys = 0, num_objects = 0, file_crc = 0;
  std::uint64_t index_offset = 0;
  std::vector<std::pair<std::string, std::uint64_t>> entries;
};

// Sizes are summed in 128 bits, so nothing here can wrap.
using u128 = unsigned __int128;

inline ModelOpen model_open(const std::uint8_t* d, std::size_t n, bool check_crc) {
  ModelOpen m;
  if (n < 40) {
    m.error = "ZelkCorruptError: file too small for header";
    return m;
  }
  if (d[0] != 'Z' || d[1] != 'L' || d[2] != 'K' || d[3] != 'R') {
    m.error = "ZelkCorruptError: bad magic [" + std::to_string(d[0]) + ", " + std::to_string(d[1]) + ", " +
              std::to_string(d[2]) + ", " + std::to_string(d[3]) + "]";
    return m;
  }
  if (d[4] != 2) {
    m.error = "ZelkVersionError: unsupported version " + std::to_string(d[4]);
    return m;
  }
  m.num_keys = static_cast<std::uint32_t>(be(d + 8, 4));
  m.num_objects = static_cast<std::uint32_t>(be(d + 12, 4));
  m.index_offset = be(d + 16, 8);
  m.file_crc = static_cast<std::uint32_t>(be(d + 32, 4));
  if (check_crc) {
    const std::uint32_t computed = crc32(d + 40, n - 40);
    if (computed != m.file_crc) {
      m.error = "ZelkCorruptError: file CRC32 mismatch  stored=" + hex8(m.file_crc) + "  computed=" + hex8(computed);
      return m;
    }
  }
  u128 cursor = m.index_offset;
  for (std::uint64_t k = 0; k < m.num_keys; ++k) {
    if (cursor + 2 > n) {
      m.error = "ZelkCorruptError: index section truncated (key_len)";
      m.entries.clear();
      return m;
    }
    const auto at = static_cast<std::size_t>(cursor);
    const std::uint64_t len = be(d + at, 2);
    if (cursor + 2 + len + 8 > n) {
      m.error = "ZelkCorruptError: index section truncated (key + offset)";
      m.entries.clear();
      return m;
    }
    m.entries.emplace_back(std::string(reinterpret_cast<const char*>(d + at + 2), len), be(d + at + 2 + len, 8));
    cursor += 10 + len;
  }
  return m;
}

// The object fetch: the payload, or the error line.
struct ModelFetch {
  std::optional<std::string> error;
  std::string_view payload;
};

inline ModelFetch model_fetch(const std::uint8_t* d, std::size_t n, std::uint64_t o) {
  ModelFetch f;
  if (u128{o} + 8 > n) {
    f.error = "ZelkCorruptError: offset " + std::to_string(o) + " out of bounds";
    return f;
  }
  const std::uint64_t len = be(d + o, 4);
  if (u128{o} + 8 + len > n) {
    f.error = "ZelkCorruptError: object at " + std::to_string(o) + " extends beyond file end";
    return f;
  }
  f.payload = std::string_view(reinterpret_cast<const char*>(d + o + 8), len);
  return f;
}

// Deep verification: nullopt when the file passes.
inline std::optional<std::string> model_verify(const std::uint8_t* d, std::size_t n, const ModelOpen& m) {
  const std::uint32_t computed = crc32(d + 40, n - 40);
  if (computed != m.file_crc) {
    return "ZelkCorruptError: file CRC32 mismatch  stored=" + hex8(m.file_crc) + "  computed=" + hex8(computed);
  }
  std::map<std::uint64_t, bool> seen;
  for (const auto& [key, o] : m.entries) {
    if (!seen.emplace(o, true).second) continue;
    if (u128{o} + 8 > n) return "ZelkCorruptError: object offset " + std::to_string(o) + " out of bounds";
    const std::uint64_t len = be(d + o, 4);
    if (u128{o} + 8 + len > n) {
      return "ZelkCorruptError: object at " + std::to_string(o) + " extends beyond file end";
    }
    if (crc32(d + o + 8, len) != be(d + o + 4, 4)) {
      return "ZelkCorruptError: object CRC32 mismatch at offset " + std::to_string(o);
    }
  }
  return std::nullopt;
}

}  // namespace zelkor_fuzz
