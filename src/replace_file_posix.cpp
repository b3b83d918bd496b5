// SPDX-License-Identifier: MIT
// Replacing a file on POSIX systems: an unnamed file named only once it is
// complete where the system has them, a temporary name removed from a signal
// handler elsewhere, and rename(2).
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <utility>

#include "replace_file.h"

namespace {

// Every signal that ends a run by default and can be caught.
constexpr int kCleanupSignals[] = {
    SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGPIPE,   SIGALRM,
    SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF,
#ifdef SIGPOLL
    SIGPOLL,
#endif
};

// The temporary file being written, kept in fixed storage for the signal
// handler, which may only make async-signal-safe calls.
char temp_path[4096];
std::atomic<bool> temp_exists{false};
static_assert(std::atomic<bool>::is_always_lock_free,
              "the signal handler reads temp_exists");

// The actions in place before the cleanup handler, to put back afterwards.
struct sigaction saved_actions[std::size(kCleanupSignals)];

}  // namespace

extern "C" {
static void RemoveTempAndDie(int sig) {
  if (temp_exists.load(std::memory_order_acquire)) (void)unlink(temp_path);
  // Die by the same signal, so that the shell sees the usual status.
  (void)signal(sig, SIG_DFL);
  (void)raise(sig);
}
}

namespace {

// Makes the cleanup signals remove the temporary file before they end the
// run. A signal the caller chose to ignore stays ignored.
void CatchCleanupSignals() {
  struct sigaction action {};
  action.sa_handler = RemoveTempAndDie;
  sigemptyset(&action.sa_mask);
  for (const int sig : kCleanupSignals) sigaddset(&action.sa_mask, sig);
  for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
    sigaction(kCleanupSignals[i], nullptr, &saved_actions[i]);
    if (saved_actions[i].sa_handler != SIG_IGN) {
      sigaction(kCleanupSignals[i], &action, nullptr);
    }
  }
}

void RestoreCleanupSignals() {
  for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
    sigaction(kCleanupSignals[i], &saved_actions[i], nullptr);
  }
}

// Holds the cleanup signals back while it lives, so that none ends the run
// between two steps that must go together.
class SignalBlock {
 public:
  SignalBlock() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kCleanupSignals) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalBlock() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t old_{};
};

// Returns the directory that holds `path`.
std::string DirectoryOf(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Opens an unnamed file in the directory of `path`, to be named through
// /proc once complete. Returns its descriptor, or -1 where the system, the
// file system or the directory cannot give one.
int OpenUnnamed(const std::string& path) {
#ifdef O_TMPFILE
  // Without /proc the file could never be given a name.
  if (access("/proc/self/fd", X_OK) != 0) return -1;
  // 0666 so that the umask gives the mode of a plain create.
  return open(DirectoryOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC,
              0666);
#else
  (void)path;
  return -1;
#endif
}

}  // namespace

bool ReplacementFile::CreateTemp(std::string* error) {
  const int unnamed = OpenUnnamed(path_);
  if (unnamed >= 0) {
    file_ = unnamed;
    return true;
  }
  // Not every file system has unnamed files (EOPNOTSUPP, EISDIR or EINVAL
  // on FAT, exFAT, NFS and older kernels), and where none can be made at
  // all, a plain create says best why not.
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string temp = NextTempName();
    if (temp.size() >= sizeof temp_path) {
      *error = std::strerror(ENAMETOOLONG);
      return false;
    }
    const SignalBlock block;
    CatchCleanupSignals();
    // Exclusive, so that no file or link planted at this name is reused.
    const int fd =
        open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      std::memcpy(temp_path, temp.c_str(), temp.size() + 1);
      temp_exists.store(true, std::memory_order_release);
      temp_ = std::move(temp);
      file_ = fd;
      return true;
    }
    const int err = errno;
    RestoreCleanupSignals();
    if (err != EEXIST) {
      *error = std::strerror(err);
      return false;
    }
  }
  *error = std::strerror(EEXIST);
  return false;
}

bool ReplacementFile::RenameTemp(std::string* error) {
  const SignalBlock block;
  const int fd = static_cast<int>(file_);
  if (temp_.empty()) {
    // Linking through /proc needs no privilege, unlike AT_EMPTY_PATH.
    char proc_path[64];
    (void)snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
    for (int attempt = 0; attempt < kNameAttempts && temp_.empty(); ++attempt) {
      std::string temp = NextTempName();
      if (linkat(AT_FDCWD, proc_path, AT_FDCWD, temp.c_str(),
                 AT_SYMLINK_FOLLOW) == 0) {
        temp_ = std::move(temp);
      } else if (errno != EEXIST || attempt + 1 == kNameAttempts) {
        *error = SystemError("cannot replace it", errno);
        DeleteTemp();
        return false;
      }
    }
  }
  // Some file systems report a failed write only at close.
  file_ = -1;
  if (close(fd) != 0) {
    *error = SystemError("write failed", errno);
    DeleteTemp();
    return false;
  }
  if (rename(temp_.c_str(), path_.c_str()) != 0) {
    *error = SystemError("cannot replace it", errno);
    DeleteTemp();
    return false;
  }
  temp_.clear();
  if (temp_exists.exchange(false)) RestoreCleanupSignals();
  return true;
}

void ReplacementFile::DeleteTemp() {
  if (file_ < 0 && temp_.empty()) return;
  const SignalBlock block;
  if (file_ >= 0) (void)close(static_cast<int>(file_));
  file_ = -1;
  if (temp_.empty()) return;
  (void)unlink(temp_.c_str());
  temp_.clear();
  if (temp_exists.exchange(false)) RestoreCleanupSignals();
}

bool ReplacementFile::WriteOut(const char* data, std::size_t size,
                               std::string* error) {
  while (size > 0) {
    const ssize_t n = write(static_cast<int>(file_), data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = SystemError("write failed", errno);
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ReplacementFile::Reserve(std::int64_t size, std::string* error) {
#ifdef FALLOC_FL_KEEP_SIZE
  // Allocating the space in one go spares the file system doing so block by
  // block. The size stays as written, so a short file never looks complete.
  if (size <= 0 ||
      fallocate(static_cast<int>(file_), FALLOC_FL_KEEP_SIZE, 0, size) == 0) {
    return true;
  }
  // Where the file system cannot set space aside, the writes go on without.
  if (errno != ENOSPC && errno != EDQUOT && errno != EFBIG) return true;
  *error = SystemError("write failed", errno);
  return false;
#else
  (void)size;
  (void)error;
  return true;
#endif
}
