// Seed corpora for the fuzz targets.
//   make_seeds READER_DIR [BUILD_DIR [MAPPED_DIR [COMPRESSED_DIR]]]
// READER_DIR gets store files built by the writer, from empty to a few
// hundred keys, and damaged copies of them (cut short, header fields
// changed, offsets pushed past the end); BUILD_DIR gets a few writer
// scripts in the byte form that fuzz_build reads; MAPPED_DIR the same
// stores built with the mapped index; COMPRESSED_DIR the same stores and
// one of many similar values, compressed.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/writer/build.h"
#include "core/writer/writer.h"

namespace {

struct Spec {
  std::vector<std::string> objects;
  std::vector<std::pair<std::string, std::uint64_t>> keys;
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

std::string build(const Spec& spec, const std::string& scratch, bool mapped = false, bool compressed = false) {
  zelkor::Writer writer;
  for (const std::string& o : spec.objects) writer.add_object(o);
  for (const auto& [key, id] : spec.keys) {
    if (!writer.add_key(key, id).ok()) std::abort();
  }
  const std::string path = scratch + "/seed.zlkr";
  zelkor::BuildOptions options;
  options.mapped_index = mapped || compressed;
  if (compressed) options.compression.emplace();
  const auto built = zelkor::build_store(writer, path, options);
  if (!built.ok()) {
    std::fprintf(stderr, "%s\n", built.error().render().c_str());
    std::exit(1);
  }
  return read_file(path);
}

void put_be(std::string& s, std::size_t at, std::uint64_t v, int width) {
  for (int i = width - 1; i >= 0; --i, v >>= 8) s[at + static_cast<std::size_t>(i)] = static_cast<char>(v & 0xFF);
}

std::vector<Spec> specs() {
  std::vector<Spec> out;
  out.push_back({});
  out.push_back({{"abc"}, {{"k", 0}}});
  out.push_back({{"shared", "own", "unkeyed"}, {{"a", 0}, {"ab", 0}, {"abc", 0}, {"b", 1}}});
  out.push_back({{""}, {{"", 0}, {std::string("\0", 1), 0}}});
  out.push_back({{"x", "y"}, {{"fo\xff", 0}, {"\xe2\x82" "A", 1}, {"\xff\xfe", 0}, {"caf\xc3\xa9", 1}}});
  out.push_back({{std::string(300, 'p')}, {{std::string(300, 'k'), 0}}});
  Spec many;
  for (int i = 0; i < 40; ++i) many.objects.push_back("value-" + std::to_string(i));
  for (int i = 0; i < 200; ++i) {
    many.keys.emplace_back("key/" + std::to_string(i % 7) + "/" + std::to_string(i), static_cast<std::uint64_t>(i % 40));
  }
  out.push_back(many);
  return out;
}

// Damaged copies of a built store, each aimed at one check of the reader.
std::vector<std::string> damaged(const std::string& s) {
  std::vector<std::string> out;
  const std::size_t n = s.size();
  for (std::size_t cut : {std::size_t{0}, std::size_t{39}, std::size_t{40}, n / 2, n - 9, n - 1}) {
    if (cut < n) out.push_back(s.substr(0, cut));
  }
  std::string v = s;
  v[4] = 3;
  out.push_back(v);
  v = s;
  v[0] = 'X';
  out.push_back(v);
  v = s;
  put_be(v, 8, 0xFFFFFFFFu, 4);  // num_keys far beyond the file
  out.push_back(v);
  v = s;
  put_be(v, 16, ~std::uint64_t{0} - 1, 8);  // index_offset near 2**64
  out.push_back(v);
  v = s;
  put_be(v, 16, 0, 8);  // index inside the header
  out.push_back(v);
  if (n > 51) {
    v = s;
    put_be(v, n - 8, n - 7, 8);  // last object offset just past the end
    out.push_back(v);
    v = s;
    put_be(v, n - 8, ~std::uint64_t{0} - 3, 8);
    out.push_back(v);
    v = s;
    v[44] = static_cast<char>(v[44] ^ 0x5A);  // the first payload CRC
    out.push_back(v);
    v = s;
    put_be(v, 40, 0xFFFFFFF0u, 4);  // the first payload length
    out.push_back(v);
  }
  return out;
}

void put_script_seeds(const std::string& dir) {
  // op % 4 == 0: an object of op / 4 bytes; 1: key (one length byte), id;
  // 2: key (two length bytes), id; 3: count, stem length, stem, shape.
  const std::vector<std::string> scripts = {
      std::string("\x0c" "abc" "\x01\x01k\x00", 8),
      std::string("\x04x\x04y\x01\x01" "a\x00\x01\x02" "ab\x01\x01\x00\x00", 16),
      std::string("\x00\x01\x00\x00\x02\x00\x00\x00", 8),
      std::string("\x08pq\x02\x01\x00", 6) + std::string(256, 'z') + std::string("\x00", 1),
      std::string("\x04a\x04b\x03\x07\x05stem/\x03", 10),
      std::string("\x04a\x03\x1f\x00\x00\x03\x10\x02\xff\xfe\x01", 12),
  };
  for (std::size_t i = 0; i < scripts.size(); ++i) write_file(dir + "/script-" + std::to_string(i), scripts[i]);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s READER_DIR [BUILD_DIR]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  std::filesystem::create_directories(dir);
  std::string scratch = "/tmp/zelkor-seeds-XXXXXX";
  if (::mkdtemp(scratch.data()) == nullptr) return 1;

  int count = 0;
  const std::vector<Spec> all = specs();
  for (std::size_t i = 0; i < all.size(); ++i) {
    const std::string store = build(all[i], scratch);
    write_file(dir + "/store-" + std::to_string(i), store);
    ++count;
    const std::vector<std::string> variants = damaged(store);
    for (std::size_t j = 0; j < variants.size(); ++j) {
      write_file(dir + "/store-" + std::to_string(i) + "-damaged-" + std::to_string(j), variants[j]);
      ++count;
    }
  }
  if (argc > 2) {
    std::filesystem::create_directories(argv[2]);
    put_script_seeds(argv[2]);
  }
  if (argc > 3) {
    std::filesystem::create_directories(argv[3]);
    for (std::size_t i = 0; i < all.size(); ++i) {
      write_file(std::string(argv[3]) + "/mapped-" + std::to_string(i), build(all[i], scratch, true));
    }
  }
  if (argc > 4) {
    std::filesystem::create_directories(argv[4]);
    std::vector<Spec> compressed = all;
    Spec similar;  // enough alike to train a dictionary on
    for (int i = 0; i < 150; ++i) {
      similar.objects.push_back("{\"name\": \"package-" + std::to_string(i % 17) + "\", \"version\": \"1." +
                                std::to_string(i % 5) + "\", \"size\": " + std::to_string(i * 37) + "}");
      similar.keys.emplace_back("pkg/" + std::to_string(i), static_cast<std::uint64_t>(i));
    }
    compressed.push_back(similar);
    for (std::size_t i = 0; i < compressed.size(); ++i) {
      write_file(std::string(argv[4]) + "/compressed-" + std::to_string(i), build(compressed[i], scratch, true, true));
    }
  }
  ::unlink((scratch + "/seed.zlkr").c_str());
  ::unlink((scratch + "/seed.zlkr.tmp").c_str());
  ::rmdir(scratch.c_str());
  std::printf("%d reader seeds in %s\n", count, dir.c_str());
  return 0;
}
