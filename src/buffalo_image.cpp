// Checking, measuring, naming and writing Buffalo-tagged firmware images.
#include "buffalo_image.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

constexpr std::size_t kCopyBlockSize = std::size_t{64} * 1024;

// Signals whose default action ends the run while the temporary file exists.
#ifdef _WIN32
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGBREAK};
#else
// SIGXFSZ is among them: a file-size limit kills the run mid-copy.
constexpr int kCleanupSignals[] = {SIGHUP, SIGINT, SIGTERM, SIGXFSZ};
#endif

// The temporary file being written, kept in fixed storage for the signal
// handler, which may only make async-signal-safe calls.
char temp_path[4096];
std::atomic<bool> temp_exists{false};
static_assert(std::atomic<bool>::is_always_lock_free,
              "the signal handler reads temp_exists");

// Removes the file at `path`, from a signal handler too.
void RemoveFile(const char* path) {
#ifdef _WIN32
  // Works while the file is open, as it is shared for deletion.
  (void)DeleteFileA(path);
#else
  (void)unlink(path);
#endif
}

}  // namespace

extern "C" {
static void RemoveTempAndDie(int sig) {
  if (temp_exists.load(std::memory_order_acquire)) RemoveFile(temp_path);
  // Die by the same signal, so that the shell sees the usual status.
  (void)std::signal(sig, SIG_DFL);
  (void)std::raise(sig);
}
}

namespace {

constexpr char kCannotCreateTemp[] = "cannot create a temporary file";

// Returns "<what>: <the system's reason for err>".
std::string SystemError(std::string_view what, int err) {
  std::string message(what);
  message += ": ";
  // errno 0 would read "Success", which no failure message may say.
  message += err != 0 ? std::strerror(err) : "unknown error";
  return message;
}

#ifdef _WIN32

// Windows cannot hold signals back; its console handler runs on a thread of
// its own and sees temp_path only once temp_exists is set.
using SignalMask = int;
SignalMask BlockCleanupSignals() { return 0; }
void UnblockCleanupSignals(SignalMask /*old*/) {}

using SignalHandler = void (*)(int);
SignalHandler saved_handlers[std::size(kCleanupSignals)];

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

// Creates and opens the new file `path` for writing. Sets `exists` when a
// file of that name is already there.
std::FILE* OpenNewFile(const std::string& path, bool* exists,
                       std::string* error) {
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    *exists = err == ERROR_FILE_EXISTS;
    *error = std::string(kCannotCreateTemp) + ": " +
             std::system_category().message(static_cast<int>(err));
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle),
                                 _O_WRONLY | _O_BINARY);
  std::FILE* file = fd < 0 ? nullptr : _fdopen(fd, "wb");
  if (file == nullptr) {
    *error = SystemError(kCannotCreateTemp, errno);
    if (fd < 0) {
      CloseHandle(handle);
    } else {
      _close(fd);
    }
    (void)DeleteFileA(path.c_str());
  }
  return file;
}

#else

using SignalMask = sigset_t;

// The actions in place before CatchCleanupSignals, to put back afterwards.
struct sigaction saved_actions[std::size(kCleanupSignals)];

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

// Holds the cleanup signals back while the temporary file is created,
// renamed or removed, so that the handler never sees it half-registered.
SignalMask BlockCleanupSignals() {
  sigset_t set;
  sigset_t old;
  sigemptyset(&set);
  for (const int sig : kCleanupSignals) sigaddset(&set, sig);
  sigprocmask(SIG_BLOCK, &set, &old);
  return old;
}

void UnblockCleanupSignals(const SignalMask& old) {
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

// Creates and opens the new file `path` for writing, with the mode a plain
// create would give it. Sets `exists` when a file of that name is already
// there.
std::FILE* OpenNewFile(const std::string& path, bool* exists,
                       std::string* error) {
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  std::FILE* file = fd < 0 ? nullptr : fdopen(fd, "wb");
  if (file == nullptr) {
    *exists = errno == EEXIST;
    *error = SystemError(kCannotCreateTemp, errno);
    if (fd >= 0) {
      close(fd);
      unlink(path.c_str());
    }
  }
  return file;
}

#endif

// Creates a new, empty file with a unique name beside `outfilename`, opens
// it for writing and registers it for removal by the signal handler.
std::FILE* CreateTempFile(const std::string& outfilename, std::string* temp,
                          std::string* error) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  // Time and stack address tell concurrent runs apart well enough; a clash
  // only costs another try.
  std::minstd_rand random(static_cast<std::minstd_rand::result_type>(
      std::chrono::steady_clock::now().time_since_epoch().count() ^
      static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(temp))));
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
  for (int attempt = 0; attempt < 100; ++attempt) {
    *temp = outfilename + ".tmp";
    for (int i = 0; i < 6; ++i) *temp += kLetters[pick(random)];
    if (temp->size() >= sizeof temp_path) {
      *error = SystemError(kCannotCreateTemp, ENAMETOOLONG);
      return nullptr;
    }
    bool exists = false;
    std::FILE* outfile = OpenNewFile(*temp, &exists, error);
    if (outfile != nullptr) {
      std::memcpy(temp_path, temp->c_str(), temp->size() + 1);
      temp_exists.store(true, std::memory_order_release);
      return outfile;
    }
    if (!exists) return nullptr;
  }
  *error = SystemError(kCannotCreateTemp, EEXIST);
  return nullptr;
}

// Writes all of `data` to `outfile`.
bool WriteAll(std::FILE* outfile, const char* data, std::size_t size,
              std::string* error) {
  errno = 0;
  // Some streams report a failed write only through the error flag.
  if (std::fwrite(data, 1, size, outfile) != size ||
      std::ferror(outfile) != 0) {
    *error = SystemError("write failed", errno);
    return false;
  }
  return true;
}

}  // namespace

SizeStatus FileSize(const char* szFileName, std::int64_t* size) {
  struct stat st {};
  if (stat(szFileName, &st) != 0) return SizeStatus::kNoFile;
  if (!S_ISREG(st.st_mode)) return SizeStatus::kNotRegular;
  *size = static_cast<std::int64_t>(st.st_size);
  return SizeStatus::kOk;
}

bool CheckImageMagic(std::FILE* infile) {
  for (const char expected : kImageMagic) {
    const int c = std::fgetc(infile);
    if (c == EOF || static_cast<char>(c) != expected) return false;
  }
  return true;
}

bool MakeLengthField(std::int64_t size, LengthField* fsize) {
  fsize->fill('\0');
  if (size < 0) return false;
  const auto result =
      std::to_chars(fsize->data(), fsize->data() + fsize->size(), size);
  if (result.ec != std::errc()) {
    fsize->fill('\0');
    return false;
  }
  return true;
}

std::string MakeOutputName(std::string_view key) {
  std::string outfilename = "lk-buffalo-";
  outfilename += key;
  outfilename += ".bin";
  return outfilename;
}

bool WriteBuffaloImage(std::FILE* outfile, const char* head,
                       const LengthField& fsize, std::FILE* infile,
                       std::int64_t size, std::string* error) {
  std::string header = head;
  header += "\nfilelen=";
  header.append(fsize.data(), fsize.size());
  header += '\n';
  if (!WriteAll(outfile, header.data(), header.size(), error)) return false;

  // Static so that memory stays flat and the stack small.
  static char buf[kCopyBlockSize];
  std::int64_t counter = 0;
  while (counter < size) {
    const auto want = static_cast<std::size_t>(
        std::min<std::int64_t>(size - counter, kCopyBlockSize));
    errno = 0;
    const std::size_t got = std::fread(buf, 1, want, infile);
    if (got < want && std::ferror(infile) != 0) {
      *error = SystemError("cannot read the input file", errno);
      return false;
    }
    if (!WriteAll(outfile, buf, got, error)) return false;
    counter += static_cast<std::int64_t>(got);
    if (got < want) {
      *error = "the input file ended after " + std::to_string(counter) +
               " of " + std::to_string(size) +
               " bytes (it changed while being read)";
      return false;
    }
  }
  // The header states `size`; an input that has grown since it was measured
  // would be cut short without a word.
  errno = 0;
  if (std::fgetc(infile) != EOF) {
    *error = "the input file grew beyond " + std::to_string(size) +
             " bytes (it changed while being read)";
    return false;
  }
  if (std::ferror(infile) != 0) {
    *error = SystemError("cannot read the input file", errno);
    return false;
  }
  return true;
}

bool SaveBuffaloImage(const std::string& outfilename, const char* head,
                      const LengthField& fsize, std::FILE* infile,
                      std::int64_t size, std::string* error) {
  CatchCleanupSignals();
  std::string temp;
  SignalMask mask = BlockCleanupSignals();
  std::FILE* outfile = CreateTempFile(outfilename, &temp, error);
  UnblockCleanupSignals(mask);
  if (outfile == nullptr) {
    RestoreCleanupSignals();
    return false;
  }

  bool ok = WriteBuffaloImage(outfile, head, fsize, infile, size, error);
  errno = 0;
  if (ok && std::fflush(outfile) != 0) {
    *error = SystemError("write failed", errno);
    ok = false;
  }
  errno = 0;
  // Some file systems report a failed write only at close.
  if (std::fclose(outfile) != 0 && ok) {
    *error = SystemError("write failed", errno);
    ok = false;
  }
  mask = BlockCleanupSignals();
  if (ok) {
    std::error_code ec;
    std::filesystem::rename(temp, outfilename, ec);
    if (ec) {
      *error = "cannot replace it: " + ec.message();
      ok = false;
    }
  }
  if (!ok) (void)std::remove(temp.c_str());
  temp_exists.store(false, std::memory_order_release);
  RestoreCleanupSignals();
  UnblockCleanupSignals(mask);
  return ok;
}
