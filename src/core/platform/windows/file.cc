#include "../file.h"

#include <algorithm>
#include <cstring>

#include "rename.h"
#include "win32.h"

namespace zelkor::platform {

namespace {

using win32::handle_of;
using win32::last_error;
using win32::OwnHandle;

// At most this much goes to one WriteFile call (its length is a DWORD).
constexpr std::size_t MAX_WRITE_CHUNK = 0x7ffff000;

// Every open shares reading, writing and deletion (which includes renaming)
// with the other opens of the file: a reader never holds up a writer or the
// rename that replaces the file, and a build's open temporary file can be
// renamed by path.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Byte-range locks are mandatory on Windows: they stop reads and writes of
// the range through other handles. The lock that lets builds take turns is
// therefore on one byte far past the end of any real file, where nobody
// reads or writes.
constexpr DWORD LOCK_OFFSET_LOW = 0xfffffffe;
constexpr DWORD LOCK_OFFSET_HIGH = 0x7fffffff;

// "The create operation stopped after reaching a symbolic link", which not
// every SDK's headers name.
constexpr int STOPPED_ON_SYMLINK = 681;

OVERLAPPED lock_range() noexcept {
  OVERLAPPED at{};
  at.Offset = LOCK_OFFSET_LOW;
  at.OffsetHigh = LOCK_OFFSET_HIGH;
  return at;
}

OVERLAPPED at_offset(std::uint64_t offset) noexcept {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

// Writes all of [p, p + n) at `offset`. Every write names its offset, so
// that writes from several threads never depend on the handle's position
// (which each of them moves).
Status write_at(HANDLE h, std::uint64_t offset, const char* p, std::size_t n, const char* on_zero_write) {
  while (n > 0) {
    OVERLAPPED at = at_offset(offset);
    DWORD written = 0;
    if (!::WriteFile(h, p, static_cast<DWORD>(std::min(n, MAX_WRITE_CHUNK)), &written, &at)) return last_error();
    if (written == 0) return CoreError::io(on_zero_write);
    p += written;
    n -= written;
    offset += written;
  }
  return Status();
}

Result<FileIdentity> identity_of(HANDLE h) {
  // The 128-bit file id is unique on every file system, ReFS included; the
  // older 64-bit index is the fallback where the system lacks the query.
  FILE_ID_INFO id{};
  if (::GetFileInformationByHandleEx(h, FileIdInfo, &id, sizeof id)) {
    std::uint64_t low = 0, high = 0;
    static_assert(sizeof id.FileId.Identifier == 2 * sizeof low);
    std::memcpy(&low, id.FileId.Identifier, sizeof low);
    std::memcpy(&high, id.FileId.Identifier + sizeof low, sizeof high);
    return FileIdentity{id.VolumeSerialNumber, low ^ high};
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info)) return last_error();
  return FileIdentity{info.dwVolumeSerialNumber,
                      (std::uint64_t{info.nFileIndexHigh} << 32) | std::uint64_t{info.nFileIndexLow}};
}

// Whether the file open as `h` is a symbolic link or junction itself (it
// was opened with FILE_FLAG_OPEN_REPARSE_POINT).
bool is_link(HANDLE h) noexcept {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!::GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag)) return false;
  return (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(tag.ReparseTag);
}

// Opens `path` for writing with `disposition` (CREATE_NEW, OPEN_EXISTING);
// nullptr when the disposition finds the path taken (CREATE_NEW) or empty
// (OPEN_EXISTING). A link at the path is opened itself
// (FILE_FLAG_OPEN_REPARSE_POINT), so that it is refused rather than
// followed; so is a device ("NUL", "CON", a pipe), which no build may write
// into.
Result<HANDLE> open_for_write(const std::string& path, DWORD disposition) {
  Result<std::wstring> wide = win32::wide_path(path);
  if (!wide.ok()) return std::move(wide).error();
  OwnHandle h(::CreateFileW(wide.value().c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                            disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!h.valid()) {
    const DWORD code = ::GetLastError();
    if (disposition == CREATE_NEW && (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS)) return nullptr;
    if (disposition == OPEN_EXISTING && code == ERROR_FILE_NOT_FOUND) return nullptr;
    return os_error(static_cast<int>(code));
  }
  if (is_link(h.get())) return os_error(STOPPED_ON_SYMLINK);
  if (::GetFileType(h.get()) != FILE_TYPE_DISK) return os_error(ERROR_NOT_SUPPORTED);
  return h.release();
}

// Deletion by handle with POSIX semantics: FileDispositionInfoEx (Windows
// 10 1709 and later), its structure and flags, which older SDK headers lack.
constexpr auto FILE_DISPOSITION_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD DISPOSITION_DELETE = 0x1;
constexpr DWORD DISPOSITION_POSIX_SEMANTICS = 0x2;
struct DispositionInfoEx {
  DWORD flags;
};

// Whether a failed SetFileInformationByHandle says that the system or the
// file system does not know the class asked for.
bool unknown_class(DWORD code) noexcept {
  return code == ERROR_INVALID_PARAMETER || code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_FUNCTION;
}

}  // namespace

void File::close() noexcept {
  if (handle_ != NONE) {
    // Closing a handle drops its locks only "eventually"; the next build
    // waiting for the lock is let in at once. (Fails harmlessly for a
    // handle that holds no lock.)
    OVERLAPPED at = lock_range();
    ::UnlockFileEx(handle_of(handle_), 0, 1, 0, &at);
    ::CloseHandle(handle_of(handle_));
  }
  handle_ = NONE;
  position_ = 0;
}

Result<File> File::open_for_read(const std::string& path) {
  Result<std::wstring> wide = win32::wide_path(path);
  if (!wide.ok()) return std::move(wide).error();
  // FILE_FLAG_BACKUP_SEMANTICS lets a directory open too, so that it is
  // refused when mapped, as everything but a regular file is.
  const HANDLE h = ::CreateFileW(wide.value().c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_error();
  return File(win32::native_of(h));
}

Result<std::optional<File>> File::create_new(const std::string& path) {
  // The new file belongs to this process's user and gets the access rules
  // that its directory passes on.
  Result<HANDLE> h = open_for_write(path, CREATE_NEW);
  if (!h.ok()) return std::move(h).error();
  if (h.value() == nullptr) return std::optional<File>();
  return std::optional<File>(File(win32::native_of(h.value())));
}

Result<std::optional<File>> File::open_existing_to_lock(const std::string& path) {
  Result<HANDLE> h = open_for_write(path, OPEN_EXISTING);
  if (!h.ok()) return std::move(h).error();
  if (h.value() == nullptr) return std::optional<File>();
  return std::optional<File>(File(win32::native_of(h.value())));
}

Result<bool> File::lock_exclusive() {
  OVERLAPPED at = lock_range();
  // The handle is synchronous: the call returns once the lock is held.
  if (!::LockFileEx(handle_of(handle_), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_FUNCTION) return false;
    return os_error(static_cast<int>(code));
  }
  return true;
}

Result<FileIdentity> File::identity() const { return identity_of(handle_of(handle_)); }

// Windows keeps no read, write and execute bits; the read-only attribute
// stands for them: 0444 when it is set, 0666 when not.
Result<std::uint32_t> File::permission_bits() const {
  FILE_BASIC_INFO basic{};
  if (!::GetFileInformationByHandleEx(handle_of(handle_), FileBasicInfo, &basic, sizeof basic)) return last_error();
  return (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444u : 0666u;
}

Status File::set_permission_bits(std::uint32_t bits) {
  FILE_BASIC_INFO basic{};
  if (!::GetFileInformationByHandleEx(handle_of(handle_), FileBasicInfo, &basic, sizeof basic)) return last_error();
  DWORD attributes = basic.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_NORMAL);
  if ((bits & 0222) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
  FILE_BASIC_INFO change{};  // times of 0: left as they are
  change.FileAttributes = attributes;
  if (!::SetFileInformationByHandle(handle_of(handle_), FileBasicInfo, &change, sizeof change)) return last_error();
  return Status();
}

Status File::truncate(std::uint64_t size) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  if (!::SetFileInformationByHandle(handle_of(handle_), FileEndOfFileInfo, &end, sizeof end)) return last_error();
  return Status();
}

Status File::write_all(std::string_view bytes, const char* on_zero_write) {
  // On failure the position stays where the failed write began: the file
  // is abandoned then anyway.
  Status s = write_at(handle_of(handle_), position_, bytes.data(), bytes.size(), on_zero_write);
  if (s.ok()) position_ += bytes.size();
  return s;
}

Status File::write_all_at(std::uint64_t offset, std::string_view bytes, const char* on_zero_write) const {
  return write_at(handle_of(handle_), offset, bytes.data(), bytes.size(), on_zero_write);
}

Status File::seek(std::uint64_t offset) {
  position_ = offset;
  return Status();
}

void File::start_writeback(std::uint64_t length) const noexcept {
  // Windows has no call that starts writeback without waiting for it; the
  // lazy writer of the cache starts on its own.
  (void)length;
}

Status File::sync() {
  if (!::FlushFileBuffers(handle_of(handle_))) return last_error();
  return Status();
}

std::optional<FileIdentity> identity_at(const std::string& path) {
  Result<std::wstring> wide = win32::wide_path(path);
  if (!wide.ok()) return std::nullopt;
  // No access beyond the attributes is needed, so this opens whatever the
  // other opens share; FILE_FLAG_BACKUP_SEMANTICS lets a directory open,
  // FILE_FLAG_OPEN_REPARSE_POINT a link itself rather than its target.
  const OwnHandle h(::CreateFileW(wide.value().c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!h.valid()) return std::nullopt;
  Result<FileIdentity> id = identity_of(h.get());
  if (!id.ok()) return std::nullopt;
  return id.value();
}

std::optional<std::uint32_t> access_bits_at(const std::string& path) {
  // The read-only attribute, the one bit Windows has, is not carried over
  // to a new store: a read-only store is kept from being replaced instead
  // (the rename over it is refused with access denied), as Windows keeps
  // read-only files from being deleted. So a build replaces only a store
  // without the attribute, whose replacement has none either.
  (void)path;
  return std::nullopt;
}

// Windows keeps no such bits; what a new file may do follows from the
// access rules its directory passes on.
std::optional<std::uint32_t> default_access_bits() { return std::nullopt; }

Status remove_file(const std::string& path) {
  Result<std::wstring> wide = win32::wide_path(path);
  if (!wide.ok()) return std::move(wide).error();
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory does not open: only a
  // file or a link (FILE_FLAG_OPEN_REPARSE_POINT: the link itself) goes.
  const OwnHandle h(::CreateFileW(wide.value().c_str(), DELETE, SHARE_ALL, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!h.valid()) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return Status();
    return os_error(static_cast<int>(code));
  }
  // With POSIX semantics the name goes at once, while others still have
  // the file open. Without them (before Windows 10 1709, or a file system
  // other than NTFS) it goes when the last handle to the file is closed.
  DispositionInfoEx posix{DISPOSITION_DELETE | DISPOSITION_POSIX_SEMANTICS};
  if (::SetFileInformationByHandle(h.get(), FILE_DISPOSITION_INFO_EX, &posix, sizeof posix)) return Status();
  if (!unknown_class(::GetLastError())) return last_error();
  FILE_DISPOSITION_INFO classic{TRUE};
  if (!::SetFileInformationByHandle(h.get(), FileDispositionInfo, &classic, sizeof classic)) return last_error();
  return Status();
}

Status rename_file(const std::string& from, const std::string& to) {
  Result<std::wstring> wide_from = win32::wide_path(from);
  if (!wide_from.ok()) return std::move(wide_from).error();
  Result<std::wstring> wide_to = win32::wide_path(to);
  if (!wide_to.ok()) return std::move(wide_to).error();
  const win32::RenameOutcome outcome = win32::rename_replacing(wide_from.value(), wide_to.value());
  if (outcome.done()) return Status();
  // The rename by path's error is the one that tells what stood in the way.
  return os_error(static_cast<int>(outcome.by_path));
}

Status sync_directory(const std::string& dir) {
  // NTFS journals the rename; flushing the directory forces the journal out
  // now. Flushing needs write access to the directory, which a process
  // that may create files in it need not have; when the directory cannot
  // be opened or flushed, it counts as flushed: the rename has happened and
  // is durable once the journal reaches the disk.
  Result<std::wstring> wide = win32::wide_path(dir);
  if (!wide.ok()) return Status();
  const OwnHandle h(::CreateFileW(wide.value().c_str(), GENERIC_WRITE, SHARE_ALL, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (h.valid()) ::FlushFileBuffers(h.get());
  return Status();
}

}  // namespace zelkor::platform
