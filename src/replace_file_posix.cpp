// SPDX-License-Identifier: MIT
// Replacing a file on POSIX systems: an exclusive create, kernel copies,
// rename(2), and removal from a signal handler.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "replace_file.h"

namespace {

// Signals whose default action ends the run while the temporary file exists.
// SIGXFSZ is among them: a file-size limit kills the run mid-copy.
constexpr int kCleanupSignals[] = {SIGHUP, SIGINT, SIGTERM, SIGXFSZ};

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

// Holds the cleanup signals back while it lives, so that the handler never
// sees the temporary file half-registered.
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

// Whether copy_file_range failed with `err` only because the kernel cannot
// copy between these two files, so that copying through memory still can.
bool KernelCannotCopy(int err) {
  return err == EXDEV || err == ENOSYS || err == EOPNOTSUPP || err == EINVAL;
}

// Sets aside the space for `size` more bytes of the file `fd`. Allocating it in
// one go spares the file system doing so piece by piece, which costs more than
// the copy itself when the payload does not start on a block boundary. Where
// the file system cannot set space aside, the copy goes on without.
bool Reserve(int fd, std::int64_t size, std::string* error) {
  const off_t end = lseek(fd, 0, SEEK_CUR);
  if (end < 0 || size <= 0) return true;
  // The size stays as written, so a short copy never looks complete.
  if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, end + size) == 0) return true;
  if (errno != ENOSPC && errno != EDQUOT && errno != EFBIG) return true;
  *error = SystemError("write failed", errno);
  return false;
}

}  // namespace

int ReplacementFile::CreateTemp(const std::string& temp, bool* exists,
                                std::string* error) {
  if (temp.size() >= sizeof temp_path) {
    *error = std::strerror(ENAMETOOLONG);
    return -1;
  }
  const SignalBlock block;
  CatchCleanupSignals();
  // 0666 so that the umask gives the mode of a plain create.
  const int fd =
      open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    *exists = errno == EEXIST;
    *error = std::strerror(errno);
    RestoreCleanupSignals();
    return -1;
  }
  std::memcpy(temp_path, temp.c_str(), temp.size() + 1);
  temp_exists.store(true, std::memory_order_release);
  return fd;
}

bool ReplacementFile::CloseTemp(int fd, std::string* error) {
  if (close(fd) == 0) return true;
  *error = std::strerror(errno);
  return false;
}

bool ReplacementFile::FinishTemp(const std::string& temp,
                                 const std::string* path, std::string* error) {
  const SignalBlock block;
  bool renamed = false;
  if (path != nullptr) {
    renamed = rename(temp.c_str(), path->c_str()) == 0;
    if (!renamed) *error = std::strerror(errno);
  }
  if (!renamed) (void)unlink(temp.c_str());
  temp_exists.store(false, std::memory_order_release);
  RestoreCleanupSignals();
  return renamed;
}

bool ReplacementFile::Write(const char* data, std::size_t size,
                            std::string* error) {
  while (size > 0) {
    const ssize_t n = write(fd_, data, size);
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

bool ReplacementFile::CopyFrom(std::FILE* infile, std::int64_t size,
                               std::int64_t* copied, std::string* error) {
  *copied = 0;
  if (!Reserve(fd_, size, error)) return false;
  // The stream may hold read-ahead bytes, so the copy starts at its logical
  // position and puts the stream after what it copied.
  const off_t start = ftello(infile);
  if (start < 0) return OutputFile::CopyFrom(infile, size, copied, error);
  const int in_fd = fileno(infile);
  off_t offset = start;
  bool through_memory = false;
  while (*copied < size) {
    const auto want = static_cast<std::size_t>(size - *copied);
    const ssize_t n = copy_file_range(in_fd, &offset, fd_, nullptr, want, 0);
    if (n == 0) break;  // the input ended
    if (n > 0) {
      *copied += n;
      continue;
    }
    if (errno == EINTR) continue;
    if (!KernelCannotCopy(errno)) {
      *error = SystemError("write failed", errno);
      return false;
    }
    through_memory = true;
    break;
  }
  // The kernel moved the descriptor's data, not the stream's position.
  if (fseeko(infile, offset, SEEK_SET) != 0) {
    *error = SystemError("cannot read the input file", errno);
    return false;
  }
  if (!through_memory) return true;
  std::int64_t rest = 0;
  const bool ok = OutputFile::CopyFrom(infile, size - *copied, &rest, error);
  *copied += rest;
  return ok;
}
