// SPDX-License-Identifier: MIT
// Replacing a file on Windows: an exclusive create that others may delete,
// MoveFileEx, and removal from the C runtime's signal handlers.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <iterator>

#include "replace_file.h"

namespace {

// Signals whose default action ends the run while the temporary file exists:
// Ctrl+C, Ctrl+Break and SIGTERM.
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGBREAK};

// The temporary file being written, kept in fixed storage for the signal
// handler. The console runs it on a thread of its own and Windows cannot hold
// signals back, so it sees temp_path only once temp_exists is set.
// Its size is the longest path Windows takes once long paths are enabled.
char temp_path[32768];
std::atomic<bool> temp_exists{false};

using SignalHandler = void (*)(int);
SignalHandler saved_handlers[std::size(kCleanupSignals)];

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

}  // namespace

extern "C" {
static void RemoveTempAndDie(int sig) {
  // Works while the file is open, as it is shared for deletion.
  if (temp_exists.load(std::memory_order_acquire)) (void)DeleteFileA(temp_path);
  (void)std::signal(sig, SIG_DFL);
  (void)std::raise(sig);
}
}

namespace {

// Makes the cleanup signals remove the temporary file before they end the
// run. A signal the caller chose to ignore stays ignored.
void CatchCleanupSignals() {
  for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
    saved_handlers[i] = std::signal(kCleanupSignals[i], RemoveTempAndDie);
    if (saved_handlers[i] == SIG_IGN) {
      (void)std::signal(kCleanupSignals[i], SIG_IGN);
    }
  }
}

void RestoreCleanupSignals() {
  for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
    (void)std::signal(kCleanupSignals[i], saved_handlers[i]);
  }
}

}  // namespace

int ReplacementFile::CreateTemp(const std::string& temp, bool* exists,
                                std::string* error) {
  if (temp.size() >= sizeof temp_path) {
    *error = std::strerror(ENAMETOOLONG);
    return -1;
  }
  CatchCleanupSignals();
  HANDLE handle = CreateFileA(temp.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    *exists = err == ERROR_FILE_EXISTS;
    *error = WindowsError(err);
    RestoreCleanupSignals();
    return -1;
  }
  std::memcpy(temp_path, temp.c_str(), temp.size() + 1);
  temp_exists.store(true, std::memory_order_release);
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle),
                                 _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    *error = std::strerror(errno);
    CloseHandle(handle);
    std::string ignored;
    (void)FinishTemp(temp, nullptr, &ignored);
  }
  return fd;
}

bool ReplacementFile::CloseTemp(int fd, std::string* error) {
  if (_close(fd) == 0) return true;
  *error = std::strerror(errno);
  return false;
}

bool ReplacementFile::FinishTemp(const std::string& temp,
                                 const std::string* path, std::string* error) {
  bool renamed = false;
  if (path != nullptr) {
    renamed = MoveFileExA(temp.c_str(), path->c_str(),
                          MOVEFILE_REPLACE_EXISTING) != 0;
    if (!renamed) {
      const DWORD err = GetLastError();
      const DWORD target = GetFileAttributesA(path->c_str());
      // Say what POSIX says, not "Access is denied".
      const bool directory = target != INVALID_FILE_ATTRIBUTES &&
                             (target & FILE_ATTRIBUTE_DIRECTORY) != 0;
      *error = directory ? std::strerror(EISDIR) : WindowsError(err);
    }
  }
  temp_exists.store(false, std::memory_order_release);
  if (!renamed) (void)DeleteFileA(temp.c_str());
  RestoreCleanupSignals();
  return renamed;
}

bool ReplacementFile::Write(const char* data, std::size_t size,
                            std::string* error) {
  while (size > 0) {
    const unsigned chunk =
        size > 0x40000000 ? 0x40000000U : static_cast<unsigned>(size);
    const int n = _write(fd_, data, chunk);
    if (n < 0) {
      *error = SystemError("write failed", errno);
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Windows has no kernel copy between open files, so the block copy serves.
bool ReplacementFile::CopyFrom(std::FILE* infile, std::int64_t size,
                               std::int64_t* copied, std::string* error) {
  return OutputFile::CopyFrom(infile, size, copied, error);
}
