// Renaming a file over another on Windows, in one step.
//
// MoveFileExW with MOVEFILE_REPLACE_EXISTING refuses, with access denied,
// to replace a file that another process has open or mapped, as every
// reader of a store has it. The rename by handle with POSIX semantics
// (Windows 10 1709 and later, on NTFS) does replace such a file: its name
// moves to the new file at once, while those who have the old one open keep
// reading it. So that rename is tried where the rename by path was refused.
#pragma once

#include <string>

#include "win32.h"

namespace zelkor::platform::win32 {

// The rename by path: MoveFileExW, or a stand-in for it in a test.
using RenameByPath = BOOL(WINAPI*)(LPCWSTR from, LPCWSTR to, DWORD flags);

struct RenameOutcome {
  DWORD by_path = ERROR_SUCCESS;  // the rename by path's error code
  bool by_handle_tried = false;
  DWORD by_handle = ERROR_SUCCESS;  // the rename by handle's, when tried
  bool done() const noexcept {
    return by_path == ERROR_SUCCESS || (by_handle_tried && by_handle == ERROR_SUCCESS);
  }
};

// Renames `from` to `to`, replacing a file there: by path, then by handle
// where the rename by path fails with access denied.
RenameOutcome rename_replacing(const std::wstring& from, const std::wstring& to,
                               RenameByPath by_path = ::MoveFileExW);

// The rename by handle alone: opens `from` for deletion and gives it the
// name `to`, replacing a file there with POSIX semantics. Returns
// ERROR_SUCCESS or the system's error code.
DWORD rename_by_handle(const std::wstring& from, const std::wstring& to);

}  // namespace zelkor::platform::win32
