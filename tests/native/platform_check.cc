// The core over its platform layer, without Python: builds and opens stores
// through every call of the layer (files, locks, positional writes, rename,
// mapping, memory, random source, standard output, error texts, paths that
// are not ASCII or not short). Runs natively against the POSIX layer and,
// cross-built, against the Windows layer under Wine (tools/windows_check.sh).
//   platform_check [work directory]
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/format/crc32.h"
#include "core/platform/file.h"
#include "core/platform/mapped_file.h"
#include "core/platform/memory.h"
#include "core/platform/os_error.h"
#include "core/platform/random.h"
#include "core/platform/standard_output.h"
#include "core/reader/path_literal.h"
#include "core/reader/reader.h"
#include "core/writer/build.h"
#include "core/writer/temp_path.h"

#if defined(_WIN32)
#include "core/platform/windows/rename.h"
#endif

namespace fs = std::filesystem;
using namespace zelkor;

namespace {

int failures = 0;

void check(bool ok, const std::string& what, int line) {
  if (ok) return;
  ++failures;
  std::fprintf(stderr, "platform_check.cc:%d: %s\n", line, what.c_str());
}
#define CHECK(cond) check((cond), #cond, __LINE__)
#define CHECK_EQ(a, b) check((a) == (b), std::string(#a " == " #b ": got \"") + (a) + "\"", __LINE__)

#if defined(_WIN32)
constexpr bool WINDOWS = true;
constexpr int PATH_NOT_FOUND = 3;  // ERROR_PATH_NOT_FOUND
constexpr int NOT_A_FILE = 50;     // ERROR_NOT_SUPPORTED

bool under_wine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
#else
constexpr bool WINDOWS = false;
constexpr int PATH_NOT_FOUND = 2;  // ENOENT
constexpr int NOT_A_FILE = 19;     // ENODEV

bool under_wine() { return false; }
#endif
constexpr int FILE_NOT_FOUND = 2;  // ENOENT, ERROR_FILE_NOT_FOUND

bool starts_with(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }
bool ends_with(const std::string& s, const std::string& p) {
  return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}

// A path of the layer (UTF-8) as a path of the C++ library.
fs::path fs_path(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

std::string error_text(const CoreError& e) { return e.text(); }

// A store of `contents` (key -> payload, one object per payload).
Result<BuildSummary> build(const std::string& path, const std::map<std::string, std::string>& contents) {
  Writer writer;
  std::map<std::string, std::uint64_t> ids;
  for (const auto& [key, payload] : contents) {
    auto [it, fresh] = ids.try_emplace(payload, 0);
    if (fresh) it->second = writer.add_object(payload);
    if (Status s = writer.add_key(key, it->second); !s.ok()) return std::move(s).error();
  }
  return build_store(writer, path);
}

std::string contents_of(const std::string& path) {
  std::ifstream in(fs_path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void put_file(const std::string& path, const std::string& bytes) {
  std::ofstream(fs_path(path), std::ios::binary) << bytes;
}

std::string payload_of(const Reader& reader, const std::string& key) {
  const std::optional<std::uint64_t> at = reader.find(key);
  if (!at) return "<absent>";
  Result<std::string_view> got = reader.fetch(*at);
  return got.ok() ? std::string(got.value()) : "<" + got.error().text() + ">";
}

// ---------------------------------------------------------------- checks

void check_crc() {
  // A bit at a time, straight from the polynomial.
  auto reference = [](const std::string& s) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (char c : s) {
      crc ^= static_cast<unsigned char>(c);
      for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
  };
  CHECK(crc32_extend_builtin(0, "123456789", 9) == 0xCBF43926u);
  CHECK(crc32_extend_builtin(0, "", 0) == 0);
  std::string bytes(3000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919) >> 3);
  // Every length around the 8-byte steps, at every alignment, and joined.
  for (std::size_t offset = 0; offset < 8; ++offset) {
    for (std::size_t length : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 64u, 65u, 1000u, 2990u}) {
      const std::string part = bytes.substr(offset, length);
      const std::uint32_t want = reference(part);
      CHECK(crc32_extend_builtin(0, part.data(), part.size()) == want);
      CHECK(crc32_of(part.data(), part.size()) == want);  // the backend compiled in
      const std::size_t cut = length / 3;
      CHECK(crc32_extend_builtin(crc32_extend_builtin(0, part.data(), cut), part.data() + cut, length - cut) == want);
    }
  }
}

void check_lookups(const std::string& dir) {
  std::map<std::string, std::string> contents = {
      {"", "empty key"}, {"a", "A"}, {"aa", "A"}, {"ab", ""}, {"b", "B"}, {"\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87", "key"},
      {std::string("\0z", 2), "nul"}, {"\xff", "last"}};
  for (int i = 0; i < 30; ++i) contents["user:" + std::to_string(100 + i)] = std::string(static_cast<std::size_t>(i), 'u');
  const std::string path = dir + "/lookups.zlkr";
  Result<BuildSummary> built = build(path, contents);
  CHECK(built.ok());
  if (!built.ok()) return;
  CHECK(!fs::exists(fs_path(temporary_path_for(path))));
  for (bool verify : {true, false}) {
    Result<Reader> opened = Reader::open(path, verify);
    CHECK(opened.ok());
    if (!opened.ok()) return;
    const Reader& r = opened.value();
    CHECK(r.header().num_keys == contents.size());
    CHECK(r.header().num_objects == 36);  // distinct payloads
    CHECK(r.file_size() == built.value().file_size);
    CHECK(r.entry_count() == contents.size());
    std::size_t i = 0;
    for (const auto& [key, payload] : contents) {  // std::map: bytewise order, as the index
      CHECK(r.key_at(i) == key);
      CHECK_EQ(payload_of(r, key), payload);
      ++i;
    }
    for (const std::string missing : {"zz", "a\x01", "user:", "\xff\xff"}) CHECK_EQ(payload_of(r, missing), "<absent>");
    struct Prefix {
      std::string prefix;
      std::size_t first, run;
    };
    for (const Prefix& p : {Prefix{"", 0, contents.size()}, Prefix{"a", 2, 3}, Prefix{"user:1", 6, 30},
                            Prefix{"user:12", 26, 10}, Prefix{"c", 6, 0}, Prefix{"\xff\xff", contents.size(), 0}}) {
      const std::size_t first = r.lower_bound(p.prefix);
      std::size_t end = first;
      while (end < r.entry_count() && r.key_has_prefix(end, p.prefix)) ++end;
      check(first == p.first && end - first == p.run, "prefix \"" + p.prefix + "\"", __LINE__);
    }
    CHECK(r.verify().ok());
    CHECK_EQ(r.describe(), "_ZelkReader('" + path + "', keys=" + std::to_string(contents.size()) + ", objects=36)");
  }
}

// Enough keys that the index is written in two halves from two threads
// at reserved places, behind the appended data section.
void check_large_build(const std::string& dir) {
  Writer writer;
  for (int i = 0; i < 1000; ++i) writer.add_object("object " + std::to_string(i));
  for (std::uint64_t i = 0; i < 70000; ++i) {
    CHECK(writer.add_key("key:" + std::to_string(i * 2654435761u % 1000003), i % 1000).ok());
  }
  const std::string path = dir + "/large.zlkr";
  CHECK(build_store(writer, path).ok());
  Result<Reader> r = Reader::open(path, true);
  CHECK(r.ok() && r.value().verify().ok() && r.value().entry_count() == 70000);
  if (r.ok()) CHECK_EQ(payload_of(r.value(), "key:" + std::to_string(std::uint64_t{69999} * 2654435761u % 1000003)), "object 999");
}

// Appends, positional writes from two threads and seeks on one file: each
// write lands where it was meant to, whatever the others did to the
// system's idea of a current position.
void check_file_writes(const std::string& dir) {
  const std::string path = dir + "/writes.bin";
  Result<std::optional<platform::File>> opened = platform::File::create_new(path);
  CHECK(opened.ok() && opened.value().has_value());
  if (!opened.ok() || !opened.value()) return;
  platform::File& f = *opened.value();
  Result<bool> locked = f.lock_exclusive();
  CHECK(locked.ok() && locked.value());
  CHECK(f.truncate(0).ok());
  CHECK(f.write_all("head", "zero").ok());
  CHECK(f.seek(4 + 2 * 1000).ok());  // room for two threads' ranges
  std::thread other([&] {
    for (std::uint64_t i = 0; i < 100; ++i) CHECK(f.write_all_at(1004 + 10 * i, "0123456789", "zero").ok());
  });
  for (std::uint64_t i = 0; i < 100; ++i) CHECK(f.write_all_at(4 + 10 * i, "abcdefghij", "zero").ok());
  other.join();
  CHECK(f.write_all("tail", "zero").ok());
  CHECK(f.write_all_at(0, "HE", "zero").ok());
  CHECK(f.write_all("!", "zero").ok());
  CHECK(f.sync().ok());
  Result<platform::FileIdentity> id = f.identity();
  CHECK(id.ok() && platform::identity_at(path) == id.value());
  CHECK(platform::identity_at(dir + "/lookups.zlkr") != id.value());
  f.close();

  std::string want = "HEad";
  for (int i = 0; i < 100; ++i) want += "abcdefghij";
  for (int i = 0; i < 100; ++i) want += "0123456789";
  want += "tail!";
  Result<platform::File> back = platform::File::open_for_read(path);
  CHECK(back.ok());
  if (!back.ok()) return;
  Result<platform::MappedFile> mapped = platform::MappedFile::map_whole(back.value(), true);
  CHECK(mapped.ok() && mapped.value().bytes() == want);
  if (mapped.ok()) {
    mapped.value().populate(0, 100);
    mapped.value().release(0, want.size());  // a hint: the bytes stay readable
    CHECK(mapped.value().bytes() == want);
  }
}

// What a build finds at its temporary path is never written into: a
// leftover, or a second name of an unrelated file, gives way to a new file
// of the build's own.
void check_leftovers(const std::string& dir) {
  const std::string path = dir + "/left.zlkr", temp = temporary_path_for(path), other = dir + "/precious.txt";
  put_file(other, "precious");
  std::error_code linked;
  fs::create_hard_link(fs_path(other), fs_path(temp), linked);
  if (linked) {
    std::printf("platform_check: note: no hard link here (%s); a plain leftover instead\n", linked.message().c_str());
    put_file(temp, "junk");
  }
  CHECK(build(path, {{"k", "v"}}).ok());
  CHECK_EQ(contents_of(other), "precious");
  CHECK(!fs::exists(fs_path(temp)));
  Result<Reader> r = Reader::open(path, true);
  CHECK(r.ok() && payload_of(r.value(), "k") == "v");

  // Nothing, and no error, where create_new finds a file or
  // open_existing_to_lock none; nothing to remove is no error either.
  Result<std::optional<platform::File>> taken = platform::File::create_new(other);
  CHECK(taken.ok() && !taken.value());
  Result<std::optional<platform::File>> none = platform::File::open_existing_to_lock(dir + "/none");
  CHECK(none.ok() && !none.value());
  CHECK(platform::remove_file(dir + "/none").ok());

  // Windows keeps the read-only attribute alone: 0444 or 0666.
  Result<std::optional<platform::File>> f = platform::File::open_existing_to_lock(other);
  CHECK(f.ok() && f.value());
  if (!f.ok() || !f.value()) return;
  for (const std::uint32_t bits : WINDOWS ? std::vector<std::uint32_t>{0444, 0666} : std::vector<std::uint32_t>{0640, 0604}) {
    CHECK(f.value()->set_permission_bits(bits).ok());
    Result<std::uint32_t> got = f.value()->permission_bits();
    check(got.ok() && got.value() == bits, "permission bits " + std::to_string(bits), __LINE__);
  }
  f.value()->close();
  CHECK(platform::remove_file(other).ok() && !fs::exists(fs_path(other)));
}

// A build over a store that a reader has mapped: the reader keeps the old
// content, a new reader gets the new one.
void check_replace_while_open(const std::string& dir) {
  const std::string path = dir + "/replaced.zlkr";
  CHECK(build(path, {{"k", "old"}}).ok());
  std::optional<Reader> before;
  {
    Result<Reader> r = Reader::open(path, true);
    CHECK(r.ok());
    if (!r.ok()) return;
    before.emplace(std::move(r).value());
  }
  Result<BuildSummary> replaced = build(path, {{"k", "new"}, {"k2", "newer"}});
  CHECK_EQ(payload_of(*before, "k"), "old");
  CHECK(before->verify().ok());
  if (!replaced.ok() && under_wine()) {
    // Wine refuses to rename over a file that is mapped or open, by path
    // and by handle alike: the store stays as it was, and the complete new
    // one waits at the temporary path.
    CHECK_EQ(replaced.error().text(), "rename: " + platform::render_os_error(5));
    {
      Result<Reader> still = Reader::open(path, true);
      CHECK(still.ok() && payload_of(still.value(), "k") == "old");
      Result<Reader> waiting = Reader::open(temporary_path_for(path), true);
      CHECK(waiting.ok() && payload_of(waiting.value(), "k2") == "newer");
    }
    std::printf("platform_check: note: under Wine a store that a reader has open is not replaced (%s)\n",
                replaced.error().text().c_str());
    before.reset();
    replaced = build(path, {{"k", "new"}, {"k2", "newer"}});
  }
  CHECK(replaced.ok());
  Result<Reader> after = Reader::open(path, true);
  CHECK(after.ok() && payload_of(after.value(), "k") == "new" && payload_of(after.value(), "k2") == "newer");
  if (before) CHECK_EQ(payload_of(*before, "k2"), "<absent>");
}

// Builds to one path from two threads at once take turns on the
// temporary file's lock; every build ends whole.
void check_concurrent_builds(const std::string& dir) {
  const std::string path = dir + "/contended.zlkr";
  std::atomic<int> refused{0};
  auto builder = [&](const std::string& tag) {
    for (int round = 0; round < 4; ++round) {
      std::map<std::string, std::string> contents;
      for (int i = 0; i < 2000; ++i) contents[tag + std::to_string(i)] = tag + std::to_string(round);
      Result<BuildSummary> built = build(path, contents);
      // Wine cannot rename over the store while the other build still has
      // it open, as it does for a moment after its own rename.
      const bool wine_refusal = under_wine() && !built.ok() && built.error().text() == "rename: " + platform::render_os_error(5);
      check(built.ok() || wine_refusal, built.ok() ? "" : built.error().text(), __LINE__);
      refused += wine_refusal ? 1 : 0;
    }
  };
  std::thread other(builder, "x");
  builder("y");
  other.join();
  if (refused > 0) std::printf("platform_check: note: Wine refused %d of 8 contended renames\n", refused.load());
  Result<Reader> r = Reader::open(path, true);
  CHECK(r.ok() && r.value().verify().ok() && r.value().entry_count() == 2000);
}

void check_error_texts(const std::string& dir) {
  const std::string missing = dir + "/missing.zlkr";
  Result<Reader> r = Reader::open(missing, true);
  CHECK(!r.ok() && r.error().kind() == CoreError::Kind::Io);
  if (!r.ok()) {
    const std::string text = error_text(r.error());
    CHECK(starts_with(text, "cannot open " + quoted_path(missing) + ": "));
    CHECK(ends_with(text, " (os error " + std::to_string(FILE_NOT_FOUND) + ")"));
    CHECK(text.find_first_of("\r\n") == std::string::npos);
    std::printf("platform_check: missing file: %s\n", text.c_str());
  }
  struct Case {
    std::string what, prefix;
    int code;
    Result<BuildSummary> (*run)(const std::string& dir);
  };
  const Case cases[] = {
      {"build in a missing directory", "open tmp: ", PATH_NOT_FOUND,
       [](const std::string& d) { return build(d + "/no/such/dir/x.zlkr", {}); }},
      {"build over a directory", "rename: ", -1,
       [](const std::string& d) {
         fs::create_directories(fs_path(d + "/a_directory"));
         return build(d + "/a_directory", {});
       }},
      {"open a directory", "mmap failed: ", NOT_A_FILE,
       [](const std::string& d) -> Result<BuildSummary> {
         Result<Reader> opened = Reader::open(d, true);
         if (opened.ok()) return BuildSummary{};
         return std::move(opened).error();
       }},
  };
  for (const Case& c : cases) {
    Result<BuildSummary> got = c.run(dir);
    check(!got.ok(), c.what + " succeeded", __LINE__);
    if (got.ok()) continue;
    const std::string text = got.error().text();
    const std::string code = c.code < 0 ? ")" : " (os error " + std::to_string(c.code) + ")";
    check(got.error().kind() == CoreError::Kind::Io && starts_with(text, c.prefix) && ends_with(text, code),
          c.what + ": " + text, __LINE__);
  }
  // An empty file maps to an empty view, which the header check refuses.
  { std::FILE* empty = std::fopen((dir + "/empty.zlkr").c_str(), "wb"); if (empty) std::fclose(empty); }
  Result<Reader> e = Reader::open(dir + "/empty.zlkr", true);
  CHECK(!e.ok() && e.error().kind() == CoreError::Kind::Corrupt && e.error().text() == "file too small for header");
  if (WINDOWS) {
    Result<Reader> bad = Reader::open(dir + "/\xff.zlkr", true);
    CHECK(!bad.ok() && ends_with(bad.error().text(), ": file name is not valid UTF-8"));
  }
}

// Paths beyond ASCII and beyond the 260 characters of classic Windows.
void check_paths(const std::string& dir) {
  const std::string named = dir + "/\xc3\xbcn\xc3\xaf-\xe6\x97\xa5\xe6\x9c\xac";  // ünï-日本
  std::string deep = dir;
  for (int i = 0; i < 6; ++i) deep += "/" + std::string(50, static_cast<char>('a' + i));
  for (const std::string& where : {named, deep}) {
    fs::create_directories(fs_path(where));
    const std::string path = where + "/st\xc3\xb6re-\xe2\x9c\x93.zlkr";  // störe-✓
    CHECK(build(path, {{"k", where}}).ok());
    Result<Reader> r = Reader::open(path, true);
    CHECK(r.ok() && payload_of(r.value(), "k") == where);
    CHECK(fs::is_regular_file(fs_path(path)));
  }
#if defined(_WIN32)
  // The name on disk is the UTF-16 of the UTF-8 given, not a code page's.
  const std::wstring wide = fs_path(dir).wstring() + L"\\\u00fcn\u00ef-\u65e5\u672c\\st\u00f6re-\u2713.zlkr";
  CHECK(::GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES);
#endif
  struct Temp {
    std::string path, posix, windows;
  };
  for (const Temp& t : {Temp{"a.b\\store", "a.zlkr.tmp", "a.b\\store.zlkr.tmp"},
                        Temp{"C:\\data.v2\\store", "C:\\data.zlkr.tmp", "C:\\data.v2\\store.zlkr.tmp"},
                        Temp{"out\\.", "out\\.zlkr.tmp", "out.zlkr.tmp"}, Temp{"d/x.y", "d/x.zlkr.tmp", "d/x.zlkr.tmp"}}) {
    CHECK_EQ(temporary_path_for(t.path), WINDOWS ? t.windows : t.posix);
  }
  CHECK_EQ(containing_directory("\\store"), WINDOWS ? "\\" : ".");
}

void check_memory_and_random() {
  constexpr std::size_t MIB = std::size_t{1} << 20;
  auto* block = static_cast<unsigned char*>(platform::map_buffer(2 * MIB));
  for (std::size_t i = 0; i < 2 * MIB; i += 4093) block[i] = static_cast<unsigned char>(i | 1);
  block = static_cast<unsigned char*>(platform::grow_buffer(block, 2 * MIB, 6 * MIB, 2 * MIB));
  bool kept = true;
  for (std::size_t i = 0; i < 2 * MIB; i += 4093) kept = kept && block[i] == static_cast<unsigned char>(i | 1);
  CHECK(kept);
  CHECK(block[6 * MIB - 1] == 0);
  platform::unmap_buffer(block, 6 * MIB);
  auto* zeroed = static_cast<unsigned char*>(platform::allocate_zeroed(4 * MIB));
  CHECK(std::all_of(zeroed, zeroed + 4 * MIB, [](unsigned char c) { return c == 0; }));
  platform::release_zeroed(zeroed, 4 * MIB);

  unsigned char a[32] = {}, b[32] = {};
  platform::fill_random(a, sizeof a);
  platform::fill_random(b, sizeof b);
  CHECK(std::memcmp(a, b, sizeof a) != 0);
  CHECK(platform::write_standard_output("platform_check: standard output \xe2\x9c\x85\n").ok());
}

#if defined(_WIN32)
BOOL WINAPI refused(LPCWSTR, LPCWSTR, DWORD) {
  ::SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
BOOL WINAPI shared_away(LPCWSTR, LPCWSTR, DWORD) {
  ::SetLastError(ERROR_SHARING_VIOLATION);
  return FALSE;
}

// The rename by handle runs where the rename by path met access denied,
// and only there.
void check_rename_fallback(const std::string& dir) {
  const std::wstring from = fs_path(dir + "/from.zlkr").wstring(), to = fs_path(dir + "/to.zlkr").wstring();
  CHECK(build(dir + "/from.zlkr", {{"k", "new"}}).ok());
  CHECK(build(dir + "/to.zlkr", {{"k", "old"}}).ok());
  platform::win32::RenameOutcome shared = platform::win32::rename_replacing(from, to, shared_away);
  CHECK(shared.by_path == ERROR_SHARING_VIOLATION && !shared.by_handle_tried && !shared.done());

  platform::win32::RenameOutcome forced = platform::win32::rename_replacing(from, to, refused);
  CHECK(forced.by_path == ERROR_ACCESS_DENIED && forced.by_handle_tried);
  std::printf("platform_check: rename by handle (FileRenameInfoEx) over a closed store: error %lu\n", forced.by_handle);
  // Wine 8 does not know FileRenameInfoEx and says ERROR_INVALID_PARAMETER.
  CHECK(forced.by_handle == ERROR_SUCCESS || (under_wine() && forced.by_handle == ERROR_INVALID_PARAMETER));
  Result<Reader> r = Reader::open(dir + "/to.zlkr", true);
  CHECK(r.ok() && payload_of(r.value(), "k") == (forced.done() ? "new" : "old"));

  // Over a store that a reader has mapped, the rename by path itself is
  // refused with access denied, and the rename by handle follows.
  CHECK(build(dir + "/from.zlkr", {{"k", "newer"}}).ok());
  platform::win32::RenameOutcome open = platform::win32::rename_replacing(from, to);
  std::printf("platform_check: rename over a mapped store: by path %lu, by handle %s %lu\n", open.by_path,
              open.by_handle_tried ? "tried" : "not tried", open.by_handle);
  CHECK(open.done() || (under_wine() && open.by_path == ERROR_ACCESS_DENIED && open.by_handle_tried));
  CHECK(open.by_path != ERROR_ACCESS_DENIED || open.by_handle_tried);
  if (r.ok()) CHECK_EQ(payload_of(r.value(), "k"), forced.done() ? "new" : "old");
}
#else
void check_rename_fallback(const std::string&) {}
#endif

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "platform_check.tmp";
  // (mingw-w64's std::filesystem cannot remove paths past 260 characters:
  // the script that runs this under Wine empties the directory first.)
  std::error_code ignored;
  fs::remove_all(fs_path(dir), ignored);
  fs::create_directories(fs_path(dir));
  if (!fs::is_empty(fs_path(dir))) {
    std::fprintf(stderr, "platform_check: the work directory %s is not empty\n", dir.c_str());
    return 1;
  }
  check_crc();
  check_lookups(dir);
  check_large_build(dir);
  check_file_writes(dir);
  check_leftovers(dir);
  check_replace_while_open(dir);
  check_concurrent_builds(dir);
  check_error_texts(dir);
  check_paths(dir);
  check_memory_and_random();
  check_rename_fallback(dir);
  fs::remove_all(fs_path(dir), ignored);
  std::printf("platform_check: %s (%s layer, CRC-32 %s%s)\n", failures == 0 ? "ok" : "FAILED",
              WINDOWS ? "Windows" : "POSIX", crc32_backend(), under_wine() ? ", under Wine" : "");
  return failures == 0 ? 0 : 1;
}
