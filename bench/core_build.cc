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
//           to end, which may overlap some of these phases. Beside the atomic
//           write and beside build_store, their I/O floors: the same bytes
//           written by the same calls into a fresh file, then fsync, and
//           nothing else. A floor is reported as its best run, each bounded
//           figure as its median; every sample goes to the JSON.
//   open:   for a store of --open-keys keys, mapping the file (with and
//           without populating), the CRC pass, walking and hashing the
//           index, and Reader::open end to end with and without the CRC.
// Page cache is warm throughout (the file was just written): the open
// figures are CPU and page-mapping cost, not disk reads.

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/format/constants.h"
#include "core/format/crc32.h"
#include "core/format/header.h"
#include "core/format/index_entry.h"
#include "core/platform/file.h"
#include "core/platform/mapped_file.h"
#include "core/reader/key_index.h"
#include "core/reader/reader.h"
#include "core/platform/byte_buffer.h"
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

double best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

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

using zelkor::platform::File;

File create_fresh(const std::string& path) {
  std::filesystem::remove(path);
  zelkor::Result<std::optional<File>> opened = File::create_new(path);
  if (!opened.ok()) check(opened.error(), "open");
  if (!opened.value()) check(zelkor::CoreError::io("still there after removal"), "open");
  return std::move(*opened.value());
}

void write_all(File& f, std::string_view bytes) { check(f.write_all(bytes, "write took nothing"), "write"); }

void pwrite_all(const File& f, std::string_view bytes, std::uint64_t at) {
  check(f.write_all_at(at, bytes, "pwrite took nothing"), "pwrite");
}

// The floor of the atomic write: its three writes (the header leaves the
// buffer when the data section arrives) into a fresh file, then fsync.
void floor_of_atomic_write(const std::string& path, std::string_view header, std::string_view data,
                           std::string_view index) {
  File f = create_fresh(path);
  write_all(f, header);
  write_all(f, data);
  write_all(f, index);
  check(f.sync(), "fsync");
}

// The floor of build_store: its writes in its order (header placeholder,
// data section, writeback hint; the index in two halves from two threads in
// pieces of 1 MiB, each half hinting writeback every 8 pieces; the final
// header), then fsync. No layout, no CRC, no rename.
void floor_of_build_store(const std::string& path, std::string_view header, std::string_view data,
                          std::string_view index) {
  constexpr std::size_t PIECE = std::size_t{1} << 20;
  File f = create_fresh(path);
  write_all(f, header);
  write_all(f, data);
  const std::uint64_t index_offset = header.size() + data.size();
  const std::uint64_t end = index_offset + index.size();
  f.start_writeback(index_offset);
  auto write_half = [&f, end](std::string_view half, std::uint64_t at) {
    for (std::size_t done = 0, pieces = 0; done < half.size(); done += PIECE) {
      pwrite_all(f, half.substr(done, PIECE), at + done);
      if (++pieces % 8 == 0) f.start_writeback(end);
    }
  };
  const std::size_t half = index.size() / 2;
  {
    std::jthread tail(write_half, index.substr(half), index_offset + half);
    write_half(index.substr(0, half), index_offset);
  }
  pwrite_all(f, header, 0);
  check(f.sync(), "fsync");
}

struct Row {
  std::string group;
  std::string name;
  std::vector<double> samples;  // ms
  std::string note;
  std::string floor_of;  // for an I/O floor: the name of the row it bounds
};

struct Report {
  std::vector<Row> rows;
  // Prints the median, or the best run of a floor.
  void add(std::string group, std::string name, std::vector<double> samples, std::string note = "",
           std::string floor_of = "") {
    const double shown = floor_of.empty() ? median(samples) : best(samples);
    std::printf("  %-52s %10.2f ms  %s\n", name.c_str(), shown, note.c_str());
    std::fflush(stdout);
    rows.push_back({std::move(group), std::move(name), std::move(samples), std::move(note), std::move(floor_of)});
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
  rep.add("build", "fill writer (add_object + add_key, once)", {ms_since(start)}, "includes key generation");

  const std::string path = o.dir + "/zelkor_core_build.zlkr";
  const std::string temp = zelkor::temporary_path_for(path);
  const std::string floor_path = o.dir + "/zelkor_core_build.floor";

  std::vector<double> t_sort, t_layout, t_crc, t_atomic, t_atomic_floor, t_build, t_build_floor;
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
    const std::string_view head(header_bytes, zelkor::HEADER_SIZE);

    file_size = zelkor::HEADER_SIZE + data.size() + index.size();

    // Each measurement and its floor take turns going first, so that
    // neither always pays for the other's leftovers (block freeing, journal).
    auto timed = [](std::vector<double>& into, auto&& work) {
      const auto begin = Clock::now();
      work();
      into.push_back(ms_since(begin));
    };
    auto atomic_write = [&] {
      zelkor::Result<zelkor::AtomicFile> created = zelkor::AtomicFile::create(path, temp);
      if (!created.ok()) {
        std::fprintf(stderr, "AtomicFile::create failed: %s\n", created.error().render().c_str());
        std::exit(1);
      }
      zelkor::AtomicFile out = std::move(created).value();
      check(out.write(head), "write");
      check(out.write(data), "write");
      check(out.write(index.view()), "write");
      check(out.commit(), "commit");
    };
    auto build = [&] {
      zelkor::Result<zelkor::BuildSummary> built = zelkor::build_store(w, path);
      if (!built.ok()) {
        std::fprintf(stderr, "build_store failed: %s\n", built.error().render().c_str());
        std::exit(1);
      }
    };
    auto atomic_floor = [&] { floor_of_atomic_write(floor_path, head, data, index.view()); };
    auto build_floor = [&] { floor_of_build_store(floor_path, head, data, index.view()); };
    if (r % 2 == 0) {
      timed(t_atomic, atomic_write);
      timed(t_atomic_floor, atomic_floor);
      timed(t_build, build);
      timed(t_build_floor, build_floor);
    } else {
      timed(t_atomic_floor, atomic_floor);
      timed(t_atomic, atomic_write);
      timed(t_build_floor, build_floor);
      timed(t_build, build);
    }
    std::filesystem::remove(floor_path);
  }
  const double sort = median(t_sort), layout = median(t_layout), crc = median(t_crc);
  const double atomic = median(t_atomic), total = median(t_build);
  char size_note[64];
  std::snprintf(size_note, sizeof size_note, "file %.1f MB", static_cast<double>(file_size) / 1e6);
  const std::string atomic_name = "atomic write (tmp, write, fsync, rename, dir fsync)";
  const std::string build_name = "build_store end to end";
  rep.add("build", "sort keys (sorted_key_order)", t_sort, per(sort, o.keys, "key"));
  rep.add("build", "lay out index section (from sorted order)", t_layout, per(layout, o.keys, "key"));
  rep.add("build", "file CRC-32 (" + std::string(zelkor::crc32_backend()) + ")", t_crc, rate(crc, file_size));
  rep.add("build", atomic_name, t_atomic, std::string(size_note) + ", " + rate(atomic, file_size));
  rep.add("build", "the same writes into a fresh file + fsync (I/O floor)", t_atomic_floor,
          "I/O floor of the atomic write, " + rate(best(t_atomic_floor), file_size), atomic_name);
  rep.add("build", "sum of the four phases above", {sort + layout + crc + atomic}, "of their medians");
  rep.add("build", build_name, t_build, per(total, o.keys, "key") + "; sorts on two threads while writing");
  rep.add("build", "build_store's writes alone + fsync (I/O floor)", t_build_floor,
          "I/O floor of build_store, " + rate(best(t_build_floor), file_size), build_name);
  std::filesystem::remove(path);
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

  std::vector<double> t_map, t_map_pop, t_header, t_crc, t_index, t_index_alone, t_open_nocrc, t_open_crc;
  for (int r = 0; r < o.reps; ++r) {
    auto start = Clock::now();
    zelkor::Result<File> fd = File::open_for_read(path);
    if (!fd.ok()) std::exit(1);
    zelkor::Result<zelkor::platform::MappedFile> m = zelkor::platform::MappedFile::map_whole(fd.value(), false);
    t_map.push_back(ms_since(start));
    if (!m.ok()) std::exit(1);

    start = Clock::now();
    zelkor::Result<zelkor::platform::MappedFile> mp = zelkor::platform::MappedFile::map_whole(fd.value(), true);
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

    // The same build kept on the calling thread: what the second thread
    // saves, and what it costs when the other core is busy.
    zelkor::KeyIndex::Options alone;
    alone.parallel_from = SIZE_MAX;
    start = Clock::now();
    zelkor::Result<zelkor::KeyIndex> idx1 =
        zelkor::KeyIndex::build(file, h.value().index_offset, h.value().num_keys, alone);
    t_index_alone.push_back(ms_since(start));
    if (!idx1.ok()) std::exit(1);

    start = Clock::now();
    { zelkor::Result<zelkor::Reader> rd = zelkor::Reader::open(path, false); if (!rd.ok()) std::exit(1); }
    t_open_nocrc.push_back(ms_since(start));
    start = Clock::now();
    { zelkor::Result<zelkor::Reader> rd = zelkor::Reader::open(path, true); if (!rd.ok()) std::exit(1); }
    t_open_crc.push_back(ms_since(start));
  }
  const std::uintmax_t file_bytes = std::filesystem::file_size(path);
  rep.add("open", "open + mmap (no populate)", t_map);
  rep.add("open", "mmap with MAP_POPULATE", t_map_pop);
  rep.add("open", "header decode", t_header);
  rep.add("open", "CRC pass over the whole file", t_crc,
          rate(median(t_crc), static_cast<std::uint64_t>(file_bytes)));
  rep.add("open", "index build (walk + copy + hash table)", t_index, per(median(t_index), keys, "key"));
  rep.add("open", "index build on one thread", t_index_alone, per(median(t_index_alone), keys, "key"));
  rep.add("open", "Reader::open, no CRC", t_open_nocrc, per(median(t_open_nocrc), keys, "key"));
  rep.add("open", "Reader::open, with CRC", t_open_crc, per(median(t_open_crc), keys, "key"));
  std::filesystem::remove(path);
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
    std::fprintf(f, "  {\"group\": \"%s\", \"name\": \"%s\", \"samples\": [", r.group.c_str(), r.name.c_str());
    for (std::size_t j = 0; j < r.samples.size(); ++j) std::fprintf(f, "%s%.4f", j > 0 ? ", " : "", r.samples[j]);
    std::fprintf(f, "], \"note\": \"%s\", \"floor_of\": \"%s\"}%s\n", r.note.c_str(), r.floor_of.c_str(),
                 i + 1 < rep.rows.size() ? "," : "");
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
