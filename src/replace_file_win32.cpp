// SPDX-License-Identifier: MIT
// Replacing a file on Windows: a new file marked for deletion until it is
// complete, so that any end of the process takes it along, then MoveFileEx.
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "replace_file.h"

namespace {

// Returns the reason for the Windows error `err`. The usual ones read as
// they do on POSIX systems, so that a message means the same everywhere.
std::string WindowsError(DWORD err) {
  static constexpr struct {
    DWORD windows;
    int posix;
  } kSame[] = {
      {ERROR_FILE_NOT_FOUND, ENOENT},
      {ERROR_PATH_NOT_FOUND, ENOENT},
      {ERROR_ACCESS_DENIED, EACCES},
      {ERROR_WRITE_PROTECT, EROFS},
      {ERROR_DISK_FULL, ENOSPC},
      {ERROR_HANDLE_DISK_FULL, ENOSPC},
      {ERROR_FILE_EXISTS, EEXIST},
      {ERROR_ALREADY_EXISTS, EEXIST},
      {ERROR_INVALID_NAME, EINVAL},
      {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
  };
  for (const auto& same : kSame) {
    if (same.windows == err) return std::strerror(same.posix);
  }
  char text[512];
  DWORD n =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, err, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' ||
                   text[n - 1] == '.' || text[n - 1] == ' ')) {
    --n;
  }
  if (n == 0) return "Windows error " + std::to_string(err);
  return std::string(text, n);
}

HANDLE AsHandle(std::intptr_t file) {
  return reinterpret_cast<HANDLE>(file);  // NOLINT(performance-no-int-to-ptr)
}

// Sets or clears the mark that deletes the file of `handle` once the last
// handle to it is closed, however the process ends.
bool MarkForDeletion(HANDLE handle, bool mark) {
  FILE_DISPOSITION_INFO info{};
  info.DeleteFile = mark ? TRUE : FALSE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &info,
                                    sizeof info) != 0;
}

}  // namespace

bool ReplacementFile::CreateTemp(std::string* error) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string temp = NextTempName();
    // DELETE access, for the mark; FILE_SHARE_DELETE, so that others can
    // still remove it.
    const HANDLE handle =
        CreateFileA(temp.c_str(), GENERIC_WRITE | DELETE,
                    FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD err = GetLastError();
      if (err == ERROR_FILE_EXISTS) continue;
      *error = WindowsError(err);
      return false;
    }
    if (!MarkForDeletion(handle, true)) {
      *error = WindowsError(GetLastError());
      CloseHandle(handle);
      (void)DeleteFileA(temp.c_str());
      return false;
    }
    temp_ = std::move(temp);
    file_ = reinterpret_cast<std::intptr_t>(handle);
    return true;
  }
  *error = std::strerror(EEXIST);
  return false;
}

bool ReplacementFile::RenameTemp(std::string* error) {
  const HANDLE handle = AsHandle(file_);
  if (!MarkForDeletion(handle, false)) {
    *error = "cannot replace it: " + WindowsError(GetLastError());
    DeleteTemp();
    return false;
  }
  file_ = -1;
  if (CloseHandle(handle) == 0) {
    *error = "write failed: " + WindowsError(GetLastError());
    DeleteTemp();
    return false;
  }
  if (MoveFileExA(temp_.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING) ==
      0) {
    const DWORD err = GetLastError();
    const DWORD target = GetFileAttributesA(path_.c_str());
    // Say what POSIX says, not "Access is denied".
    const bool directory = target != INVALID_FILE_ATTRIBUTES &&
                           (target & FILE_ATTRIBUTE_DIRECTORY) != 0;
    *error =
        "cannot replace it: " +
        (directory ? std::string(std::strerror(EISDIR)) : WindowsError(err));
    DeleteTemp();
    return false;
  }
  temp_.clear();
  return true;
}

void ReplacementFile::DeleteTemp() {
  if (file_ != -1) {
    // Still marked, so closing removes it.
    CloseHandle(AsHandle(file_));
    file_ = -1;
  } else if (!temp_.empty()) {
    (void)DeleteFileA(temp_.c_str());
  }
  temp_.clear();
}

bool ReplacementFile::WriteOut(const char* data, std::size_t size,
                               std::string* error) {
  while (size > 0) {
    const DWORD chunk =
        size > 0x40000000 ? 0x40000000U : static_cast<DWORD>(size);
    DWORD n = 0;
    if (WriteFile(AsHandle(file_), data, chunk, &n, nullptr) == 0) {
      *error = "write failed: " + WindowsError(GetLastError());
      return false;
    }
    data += n;
    size -= n;
  }
  return true;
}

// Windows sets no space aside ahead of the writes that tagwrap makes.
bool ReplacementFile::Reserve(std::int64_t /*size*/, std::string* /*error*/) {
  return true;
}
