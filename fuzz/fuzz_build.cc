// libFuzzer target: a byte string read as a script of writer calls (add an
// object, map a key, map a batch of related keys). The writer builds the store to a file, and the
// reader, with the checksum check and deep verification, must give back
// exactly what the script put in: every key in ascending order, each with
// its object's payload.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/reader/reader.h"
#include "core/writer/build.h"
#include "core/writer/writer.h"
#include "fuzz_common.h"

namespace {

using namespace zelkor_fuzz;

class Script {
 public:
  Script(const std::uint8_t* d, std::size_t n) : d_(d), n_(n) {}
  bool done() const { return at_ >= n_; }
  std::uint8_t byte() { return at_ < n_ ? d_[at_++] : 0; }
  std::string bytes(std::size_t len) {
    len = std::min(len, n_ - at_);
    std::string s(reinterpret_cast<const char*>(d_ + at_), len);
    at_ += len;
    return s;
  }

 private:
  const std::uint8_t* d_;
  std::size_t n_;
  std::size_t at_ = 0;
};

// A private directory for the store, in memory where /dev/shm exists,
// removed with its files when the process exits.
struct ScratchDir {
  std::string dir;
  ScratchDir() {
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    dir = std::string(base) + "/zelkor-fuzz-build-XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) fail("mkdtemp");
  }
  ~ScratchDir() {
    ::unlink((dir + "/store.zlkr").c_str());
    ::unlink((dir + "/store.zlkr.tmp").c_str());
    ::rmdir(dir.c_str());
  }
};

const std::string& store_path() {
  static const ScratchDir scratch;
  static const std::string path = scratch.dir + "/store.zlkr";
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Script script(data, size);
  zelkor::Writer writer;
  std::vector<std::string> objects;
  std::map<std::string, std::uint64_t> keys;
  const auto add_key = [&](const std::string& key, std::uint64_t id) {
    const zelkor::Status s = writer.add_key(key, id);
    ZF_CHECK(s.ok() == (id < objects.size()), "add_key acceptance");
    if (s.ok()) keys[key] = id;
  };
  while (!script.done()) {
    const std::uint8_t op = script.byte();
    if (op % 4 == 0) {
      const std::string payload = script.bytes(op / 4);
      ZF_CHECK(writer.add_object(payload) == objects.size(), "object id");
      objects.push_back(payload);
    } else if (op % 4 != 3) {
      // Lengths past 255 come from a second byte, ids from one byte; ids at
      // or past the object count must be refused and change nothing.
      std::size_t key_len = script.byte();
      if (op % 4 == 2) key_len = key_len * 256 + script.byte();
      const std::string key = script.bytes(key_len);
      add_key(key, script.byte());
    } else {
      // Many keys at once, enough for the radix sort: a stem from the
      // input, then a counter of one to three bytes cut at varied lengths,
      // so that keys share prefixes, are prefixes of each other and repeat.
      const std::size_t count = keys.size() > 4096 ? 0 : 64 * (std::size_t{script.byte()} % 8 + 1);
      const std::string stem = script.bytes(script.byte() % 24);
      const std::uint8_t shape = script.byte();
      for (std::size_t i = 0; i < count; ++i) {
        const char tail[3] = {static_cast<char>(i >> 16), static_cast<char>(i >> 8), static_cast<char>(i)};
        const std::size_t cut = (i * (shape | 1u)) % 4;
        add_key(stem.substr(0, stem.size() - (i % (stem.size() + 1)) / 2) + std::string(tail + 3 - cut, cut),
                objects.empty() ? i : i % objects.size());
      }
    }
  }
  ZF_CHECK(writer.object_count() == objects.size() && writer.key_count() == keys.size(), "writer counts");

  // Both layouts, each read back whole: the plain one, then the mapped one
  // through its mapped index.
  for (const bool mapped : {false, true}) {
    zelkor::BuildOptions options;
    options.mapped_index = mapped;
    const zelkor::Result<zelkor::BuildSummary> built = zelkor::build_store(writer, store_path(), options);
    ZF_CHECK(built.ok(), built.error().render());
    zelkor::Result<zelkor::Reader> opened = zelkor::Reader::open(store_path(), true);
    ZF_CHECK(opened.ok(), opened.error().render());
    const zelkor::Reader& reader = opened.value();
    ZF_CHECK(reader.mapped_index().has_value() == mapped, "mapped index in use");
    ZF_CHECK(reader.file_size() == built.value().file_size, "file size");
    ZF_CHECK(reader.header().file_crc32 == built.value().file_crc32, "file CRC");
    ZF_CHECK(reader.header().num_objects == objects.size(), "num_objects");
    ZF_CHECK(reader.entry_count() == keys.size(), "entry count");
    const zelkor::Status verified = reader.verify();
    ZF_CHECK(verified.ok(), verified.error().render());

    std::size_t i = 0;
    for (const auto& [key, id] : keys) {  // std::map order is unsigned bytewise
      ZF_CHECK(reader.key_at(i) == key, "key order");
      const auto offset = reader.find(key);
      ZF_CHECK(offset && *offset == reader.object_offset_at(i), "find");
      const auto payload = reader.fetch(*offset);
      ZF_CHECK(payload.ok() && payload.value() == objects[id], "payload");
      ZF_CHECK(reader.lower_bound(key) == i, "lower bound");
      ++i;
    }
  }
  return 0;
}
