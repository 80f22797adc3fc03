// Where a build's and an open's time goes, phase by phase, in the core
// alone (no Python): run by hand, never part of the test suite.
//
//   zelkor_core_build [--objects N] [--keys N] [--object-size B]
//                     [--open-keys N] [--reps R] [--dir DIR] [--json FILE]
//
// The writer is filled once with N objects of B bytes and the keys (about
// two per object, in realistic shapes, inserted in random order). Then each
// phase runs R times and the median is reported:
//   build:  sorting the keys, laying out the index section (from the sorted
//           order), the file CRC, the atomic write (AtomicFile: temporary
//           file, write, fsync, rename, directory fsync), and build_store end
//           to end, which may overlap some of these phases; beside them a
//           raw write + fsync of the same number of bytes.
//   open:   for a store of --open-keys keys, mapping the file (with and
//           without populating), the CRC pass, walking and hashing the
//           index, and Reader::open end to end with and without the CRC.
// Page cache is warm throughout (the file was just written): the open
// figures are CPU and page-mapping cost, not disk reads.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/format/byte_buffer.h"
#include "core/format/constants.h"
#include "core/format/crc32.h"
#include "core/format/file_descriptor.h"
#include "core/format/header.h"
#include "core/format/index_entry.h"
#include "core/reader/key_index.h"
#include "core/reader/mapped_file.h"
#include "core/reader/reader.h"
#include "core/writer/atomic_output.h"
#include "core/writer/build.h"
#include "core/writer/key_order.h"
#include "core/writer/temp_path.h"
#include "core/writer/writer.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::uint64_t objects = 1000000;
  std::uint64_t keys = 2000000;
  std::uint64_t object_size = 100;
  std::uint64_t open_keys = 1000000;
  int reps = 5;
  std::string dir;
  std::string json;
};

[[noreturn]] void usage(const char* argv0) {
  std::fprintf(stderr,
               "usage: %s [--objects N] [--keys N] [--object-size B] [--open-keys N] [--reps R] [--dir DIR] "
               "[--json FILE]\n",
               argv0);
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (i + 1 >= argc) usage(argv[0]);
    const char* v = argv[++i];
    if (a == "--objects") {
      o.objects = std::strtoull(v, nullptr, 10);
    } else if (a == "--keys") {
      o.keys = std::strtoull(v, nullptr, 10);
    } else if (a == "--object-size") {
      o.object_size = std::strtoull(v, nullptr, 10);
    } else if (a == "--open-keys") {
      o.open_keys = std::strtoull(v, nullptr, 10);
    } else if (a == "--reps") {
      o.reps = std::max(1, std::atoi(v));
    } else if (a == "--dir") {
      o.dir = v;
    } else if (a == "--json") {
      o.json = v;
    } else {
      usage(argv[0]);
    }
  }
  if (o.objects == 0) usage(argv[0]);
  if (o.dir.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    o.dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  }
  return o;
}

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Keys of 10-40 bytes in a handful of shapes, one per index, all distinct.
std::string make_key(std::uint64_t i) {
  char buf[64];
  const std::uint64_t n = i / 8;
  int len = 0;
  switch (i % 8) {
    case 0:
    case 1:
      len = std::snprintf(buf, sizeof buf, "user:%07" PRIu64 ":%s", n, i % 8 == 0 ? "profile" : "settings");
      break;
    case 2:
      len = std::snprintf(buf, sizeof buf, "sku/%02" PRIu64 "/%02" PRIu64 "/%07" PRIu64, n % 97, n % 89, n);
      break;
    case 3:
      len = std::snprintf(buf, sizeof buf, "order:%09" PRIu64 ":lines", n * 7 + 3);
      break;
    case 4:
      len = std::snprintf(buf, sizeof buf, "session:%016" PRIx64, static_cast<std::uint64_t>(n * 0x9e3779b97f4a7c15ULL));
      break;
    case 5:
      len = std::snprintf(buf, sizeof buf, "citt\xc3\xa0:%07" PRIu64 ":nome", n);
      break;
    case 6:
      len = std::snprintf(buf, sizeof buf, "doc/%05" PRIu64 "/rev/%04" PRIu64, n / 10, n % 10000);
      break;
    default:
      len = std::snprintf(buf, sizeof buf, "tag:%06" PRIu64 "#%" PRIu64, n, n % 13);
      break;
  }
  return std::string(buf, static_cast<std::size_t>(len));
}

void fill_writer(zelkor::Writer& w, std::uint64_t objects, std::uint64_t keys, std::uint64_t object_size,
                 std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::string payload(object_size, '\0');
  for (std::uint64_t i = 0; i < objects; ++i) {
    for (std::size_t j = 0; j < payload.size(); j += 8) {
      const std::uint64_t r = rng();
      std::memcpy(&payload[j], &r, std::min<std::size_t>(8, payload.size() - j));
    }
    w.add_object(payload);
  }
  // Keys in a shuffled order so that the sort has real work to do.
  std::vector<std::uint64_t> order(keys);
  for (std::uint64_t i = 0; i < keys; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  for (std::uint64_t i = 0; i < keys; ++i) {
    const zelkor::Status s = w.add_key(make_key(order[i]), order[i] % objects);
    if (!s.ok()) {
      std::fprintf(stderr, "add_key failed: %s\n", s.error().render().c_str());
      std::exit(1);
    }
  }
}

// The index section as build_store lays it out, from a given key order.
zelkor::ByteBuffer lay_out_index(const zelkor::Writer& w, const std::vector<std::uint64_t>& order) {
  const zelkor::KeyTable& keys = w.keys();
  const char* arena = keys.arena().data();
  zelkor::ByteBuffer index;
  char* at = index.extend(keys.key_bytes() + keys.size() * zelkor::ENTRY_FIXED_SIZE);
  for (std::uint64_t entry : order) {
    at = zelkor::encode_index_entry(at, zelkor::KeyTable::key_of(arena + entry),
                                    zelkor::HEADER_SIZE + w.record_offset(zelkor::KeyTable::object_id_of(arena + entry)));
  }
  return index;
}

void check(const zelkor::Status& s, const char* what) {
  if (!s.ok()) {
    std::fprintf(stderr, "%s failed: %s\n", what, s.error().render().c_str());
    std::exit(1);
  }
}

// The I/O floor: create, write `bytes` in large pieces, fsync, close.
void raw_write_fsync(const std::string& path, std::string_view bytes) {
  zelkor::FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) {
    std::perror("open");
    std::exit(1);
  }
  const char* p = bytes.data();
  std::size_t n = bytes.size();
  while (n > 0) {
    const ssize_t w = ::write(fd.get(), p, std::min<std::size_t>(n, std::size_t{1} << 30));
    if (w <= 0) {
      std::perror("write");
      std::exit(1);
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  if (::fsync(fd.get()) != 0) {
    std::perror("fsync");
    std::exit(1);
  }
}

struct Row {
  std::string group;
  std::string name;
  double ms;
  std::string note;
};

struct Report {
  std::vector<Row> rows;
  void add(std::string group, std::string name, double ms, std::string note = "") {
    std::printf("  %-52s %10.2f ms  %s\n", name.c_str(), ms, note.c_str());
    std::fflush(stdout);
    rows.push_back({std::move(group), std::move(name), ms, std::move(note)});
  }
};

std::string rate(double ms, std::uint64_t bytes) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f GB/s", static_cast<double>(bytes) / (ms * 1e6));
  return buf;
}

std::string per(double ms, std::uint64_t n, const char* unit) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1f ns/%s", ms * 1e6 / static_cast<double>(n), unit);
  return buf;
}

void bench_build(const Options& o, Report& rep) {
  std::printf("build: %" PRIu64 " objects x %" PRIu64 " B, %" PRIu64 " keys, median of %d\n", o.objects,
              o.object_size, o.keys, o.reps);
  zelkor::Writer w;
  auto start = Clock::now();
  fill_writer(w, o.objects, o.keys, o.object_size, 42);
  rep.add("build", "fill writer (add_object + add_key, once)", ms_since(start), "includes key generation");

  const std::string path = o.dir + "/zelkor_core_build.zlkr";
  const std::string temp = zelkor::temporary_path_for(path);
  const std::string raw_path = o.dir + "/zelkor_core_build.raw";

  std::vector<double> t_sort, t_layout, t_crc, t_atomic, t_build, t_raw;
  std::uint64_t file_size = 0;
  for (int r = 0; r < o.reps; ++r) {
    start = Clock::now();
    const std::vector<std::uint64_t> order = zelkor::sorted_key_order(w.keys());
    t_sort.push_back(ms_since(start));

    start = Clock::now();
    const zelkor::ByteBuffer index = lay_out_index(w, order);
    t_layout.push_back(ms_since(start));

    const std::string_view data = w.data_section();
    start = Clock::now();
    zelkor::Header header;
    header.num_keys = static_cast<std::uint32_t>(w.key_count());
    header.num_objects = static_cast<std::uint32_t>(w.object_count());
    header.index_offset = zelkor::HEADER_SIZE + data.size();
    header.file_crc32 = zelkor::crc32_extend(zelkor::crc32_of(data.data(), data.size()), index.data(), index.size());
    t_crc.push_back(ms_since(start));
    char header_bytes[zelkor::HEADER_SIZE];
    zelkor::encode_header(header, header_bytes);

    file_size = zelkor::HEADER_SIZE + data.size() + index.size();

    // The atomic write and the raw write take turns going first, so that
    // neither always pays for the other's leftovers (block freeing, journal).
    auto atomic_write = [&] {
      start = Clock::now();
      {
        zelkor::Result<zelkor::AtomicFile> created = zelkor::AtomicFile::create(path, temp);
        if (!created.ok()) {
          std::fprintf(stderr, "AtomicFile::create failed: %s\n", created.error().render().c_str());
          std::exit(1);
        }
        zelkor::AtomicFile out = std::move(created).value();
        check(out.write({header_bytes, zelkor::HEADER_SIZE}), "write");
        check(out.write(data), "write");
        check(out.write(index.view()), "write");
        check(out.commit(), "commit");
      }
      t_atomic.push_back(ms_since(start));
    };
    auto raw_write = [&] {
      // The same bytes, contiguous, written and synced with nothing else.
      std::string flat;
      flat.reserve(file_size);
      flat.append(header_bytes, zelkor::HEADER_SIZE).append(data).append(index.view());
      start = Clock::now();
      raw_write_fsync(raw_path, flat);
      t_raw.push_back(ms_since(start));
      ::unlink(raw_path.c_str());
    };
    if (r % 2 == 0) {
      atomic_write();
      raw_write();
    } else {
      raw_write();
      atomic_write();
    }

    start = Clock::now();
    zelkor::Result<zelkor::BuildSummary> built = zelkor::build_store(w, path);
    t_build.push_back(ms_since(start));
    if (!built.ok()) {
      std::fprintf(stderr, "build_store failed: %s\n", built.error().render().c_str());
      std::exit(1);
    }
  }
  const double sort = median(t_sort), layout = median(t_layout), crc = median(t_crc);
  const double atomic = median(t_atomic), total = median(t_build), raw = median(t_raw);
  char size_note[64];
  std::snprintf(size_note, sizeof size_note, "file %.1f MB", static_cast<double>(file_size) / 1e6);
  rep.add("build", "sort keys (sorted_key_order)", sort, per(sort, o.keys, "key"));
  rep.add("build", "lay out index section (from sorted order)", layout, per(layout, o.keys, "key"));
  rep.add("build", "file CRC-32 (" + std::string(zelkor::crc32_backend()) + ")", crc, rate(crc, file_size));
  rep.add("build", "atomic write (tmp, write, fsync, rename, dir fsync)", atomic,
          std::string(size_note) + ", " + rate(atomic, file_size));
  rep.add("build", "raw write + fsync of the same bytes", raw, "I/O floor, " + rate(raw, file_size));
  rep.add("build", "sum of the four phases above", sort + layout + crc + atomic);
  rep.add("build", "build_store end to end", total, per(total, o.keys, "key"));
  rep.add("build", "build_store minus sort, layout and CRC", total - sort - layout - crc,
          "what the I/O costs inside build_store, less any overlap of the phases");
  ::unlink(path.c_str());
}

void bench_open(const Options& o, Report& rep) {
  const std::uint64_t keys = o.open_keys;
  const std::uint64_t objects = std::max<std::uint64_t>(1, keys / 2);
  std::printf("open: %" PRIu64 " keys, %" PRIu64 " objects x %" PRIu64 " B, warm cache, median of %d\n", keys,
              objects, o.object_size, o.reps);
  const std::string path = o.dir + "/zelkor_core_open.zlkr";
  {
    zelkor::Writer w;
    fill_writer(w, objects, keys, o.object_size, 7);
    zelkor::Result<zelkor::BuildSummary> built = zelkor::build_store(w, path);
    if (!built.ok()) {
      std::fprintf(stderr, "build_store failed: %s\n", built.error().render().c_str());
      std::exit(1);
    }
  }
  // Read the file once so every repetition sees the same warm cache.
  { zelkor::Result<zelkor::Reader> r = zelkor::Reader::open(path, true); (void)r; }

  std::vector<double> t_map, t_map_pop, t_header, t_crc, t_index, t_open_nocrc, t_open_crc;
  for (int r = 0; r < o.reps; ++r) {
    auto start = Clock::now();
    zelkor::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    zelkor::Result<zelkor::MappedFile> m = zelkor::MappedFile::map_whole(fd.get(), false);
    t_map.push_back(ms_since(start));
    if (!m.ok()) std::exit(1);

    start = Clock::now();
    zelkor::Result<zelkor::MappedFile> mp = zelkor::MappedFile::map_whole(fd.get(), true);
    t_map_pop.push_back(ms_since(start));
    if (!mp.ok()) std::exit(1);
    const std::string_view file = mp.value().bytes();

    start = Clock::now();
    zelkor::Result<zelkor::Header> h = zelkor::decode_header(file);
    t_header.push_back(ms_since(start));
    if (!h.ok()) std::exit(1);

    start = Clock::now();
    check(zelkor::check_file_crc(file, h.value().file_crc32), "check_file_crc");
    t_crc.push_back(ms_since(start));

    start = Clock::now();
    zelkor::Result<zelkor::KeyIndex> idx = zelkor::KeyIndex::build(file, h.value().index_offset, h.value().num_keys);
    t_index.push_back(ms_since(start));
    if (!idx.ok()) std::exit(1);

    start = Clock::now();
    { zelkor::Result<zelkor::Reader> rd = zelkor::Reader::open(path, false); if (!rd.ok()) std::exit(1); }
    t_open_nocrc.push_back(ms_since(start));
    start = Clock::now();
    { zelkor::Result<zelkor::Reader> rd = zelkor::Reader::open(path, true); if (!rd.ok()) std::exit(1); }
    t_open_crc.push_back(ms_since(start));
  }
  struct stat st {};
  ::stat(path.c_str(), &st);
  rep.add("open", "open + mmap (no populate)", median(t_map));
  rep.add("open", "mmap with MAP_POPULATE", median(t_map_pop));
  rep.add("open", "header decode", median(t_header));
  rep.add("open", "CRC pass over the whole file", median(t_crc),
          rate(median(t_crc), static_cast<std::uint64_t>(st.st_size)));
  rep.add("open", "index build (walk + copy + hash table)", median(t_index), per(median(t_index), keys, "key"));
  rep.add("open", "Reader::open, no CRC", median(t_open_nocrc), per(median(t_open_nocrc), keys, "key"));
  rep.add("open", "Reader::open, with CRC", median(t_open_crc), per(median(t_open_crc), keys, "key"));
  ::unlink(path.c_str());
}

void write_json(const Options& o, const Report& rep) {
  if (o.json.empty()) return;
  FILE* f = std::fopen(o.json.c_str(), "w");
  if (f == nullptr) {
    std::perror(o.json.c_str());
    return;
  }
  std::fprintf(f,
               "{\"objects\": %" PRIu64 ", \"keys\": %" PRIu64 ", \"object_size\": %" PRIu64
               ", \"open_keys\": %" PRIu64 ", \"reps\": %d, \"crc_backend\": \"%s\", \"rows\": [\n",
               o.objects, o.keys, o.object_size, o.open_keys, o.reps, zelkor::crc32_backend());
  for (std::size_t i = 0; i < rep.rows.size(); ++i) {
    const Row& r = rep.rows[i];
    std::fprintf(f, "  {\"group\": \"%s\", \"name\": \"%s\", \"ms\": %.4f, \"note\": \"%s\"}%s\n", r.group.c_str(),
                 r.name.c_str(), r.ms, r.note.c_str(), i + 1 < rep.rows.size() ? "," : "");
  }
  std::fprintf(f, "]}\n");
  std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  Report rep;
  bench_build(o, rep);
  bench_open(o, rep);
  write_json(o, rep);
  return 0;
}
