// SPDX-License-Identifier: MIT
// Scratch directories, files and runs of the built tool, shared by the tests.
#ifndef TAGWRAP_TEST_UTIL_H_
#define TAGWRAP_TEST_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "output_file.h"

// Skips the running test on Windows, saying why in the test output.
#ifdef _WIN32
#define SKIP_ON_WINDOWS(reason) GTEST_SKIP() << "Windows: " << (reason)
#else
#define SKIP_ON_WINDOWS(reason) static_cast<void>(0)
#endif

// Skips the running test with `reason` when something it needs is missing,
// unless TAGWRAP_REQUIRE_TOOLS is set, as in CI, where that is a failure.
#define SKIP_UNLESS(available, reason)                                         \
  do {                                                                         \
    if (!(available)) {                                                        \
      if (std::getenv("TAGWRAP_REQUIRE_TOOLS") != nullptr) FAIL() << (reason); \
      GTEST_SKIP() << (reason);                                                \
    }                                                                          \
  } while (false)

// Skips the running test when `program` is not on PATH.
#define REQUIRE_TOOL(program) \
  SKIP_UNLESS(test::OnPath(program), std::string(program) + " is missing")

// Skips the running test when the file system `mount` could not be mounted.
#define REQUIRE_MOUNT(mount) \
  SKIP_UNLESS((mount).mounted(), "cannot mount: " + (mount).error())

namespace test {

namespace fs = std::filesystem;

// A supported model as users and devices know it.
struct ExpectedModel {
  std::string_view key;
  std::string_view head;
};

// Every supported model, in the order the usage text lists them. Written
// out here, not taken from the tool, so that the tests check the tool's table.
inline constexpr ExpectedModel kExpectedModels[] = {
    {"wla-g54", "WLA-G54 2.05 1.02"},
    {"wla-g54c", "WLA-B11C 2.20 1.05"},
    {"wla2-g54c", "WLA2-G54C 2.23 1.05"},
    {"wla2-g54l", "WLA2-G54L 2.24 1.00"},
    {"wbr-g54", "WBR-B11 2.20 1.16"},
    {"wbr2-g54", "WBR2-G54 2.30 6.03"},
    {"wbr2-g54s", "WBR2-G54S 2.30 6.10"},
    {"wli-tx4-g54hp", "WLI-TX4-G54HP 2.50 2.03"},
    {"wli3-tx1-g54", "WLI3-TX1-G54 2.30 1.07"},
    {"wzr-rs-g54", "WZR-RS-G54 2.32 1.01"},
};

// A fresh empty directory, removed with its contents when destroyed.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const fs::path& path() const { return path_; }
  // `name` is UTF-8, on Windows too.
  fs::path operator/(std::string_view name) const {
    return path_ / fs::u8path(name);
  }

 private:
  fs::path path_;
};

// A tmpfs of a given size mounted on a fresh directory, and unmounted with
// everything in it when destroyed. Needs root; see mounted().
class TmpfsMount {
 public:
  explicit TmpfsMount(std::string_view size);
  ~TmpfsMount();
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;

  // Whether the mount worked; error() says why not.
  bool mounted() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  // Makes the file system read-only; returns whether that worked.
  bool MakeReadOnly();

  const fs::path& path() const { return dir_.path(); }
  fs::path operator/(std::string_view name) const { return dir_ / name; }

 private:
  ScratchDir dir_;
  std::string size_;
  std::string error_;
};

// An exFAT file system of `mebibytes`, as on a USB stick: an image on a loop
// device, mounted through FUSE on a fresh directory, and unmounted and
// detached when destroyed. It cannot hold unnamed files. Needs root, a loop
// device and FUSE; see mounted().
class ExfatMount {
 public:
  explicit ExfatMount(unsigned mebibytes);
  ~ExfatMount();
  ExfatMount(const ExfatMount&) = delete;
  ExfatMount& operator=(const ExfatMount&) = delete;

  // Whether the mount worked; error() says why not.
  bool mounted() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  const fs::path& path() const { return dir_.path(); }
  fs::path operator/(std::string_view name) const { return dir_ / name; }

 private:
  ScratchDir image_dir_;
  ScratchDir dir_;
  std::string device_;
  bool fuse_mounted_ = false;
  std::string error_;
};

// An output that keeps what is written in memory and, like a full disk,
// refuses any byte beyond `capacity`. It records the size of every write.
class MemoryOutput final : public OutputFile {
 public:
  explicit MemoryOutput(std::size_t capacity = SIZE_MAX)
      : capacity_(capacity) {}

  const std::string& bytes() const { return bytes_; }
  const std::vector<std::size_t>& writes() const { return writes_; }

 private:
  bool WriteOut(const char* data, std::size_t size,
                std::string* error) override;

  std::size_t capacity_;
  std::string bytes_;
  std::vector<std::size_t> writes_;
};

// Returns whether `program` is an executable file in a directory of PATH.
bool OnPath(const std::string& program);

// Writes `bytes` to `path`, replacing it.
void WriteFile(const fs::path& path, std::string_view bytes);

// Returns the whole content of `path`, or "<missing>" when it cannot be read.
std::string ReadFile(const fs::path& path);

// Returns the sorted names, in UTF-8, of the entries in `dir`.
std::vector<std::string> ListDir(const fs::path& dir);

// Returns a `size`-byte generic image: the magic, then bytes from `seed`.
std::string MakeImage(std::size_t size, std::uint32_t seed = 1);

// Returns the header tagwrap writes for `head` and `length_field`.
std::string Header(std::string_view head, std::string_view length_field);

// Returns `path` in the form the tool is given it: absolute, in UTF-8, with a
// drive on Windows, where the tool runs in another directory and maybe drive.
std::string ToolPath(const fs::path& path);

// How to start the tool. Windows honours `cwd` only.
struct RunOptions {
  fs::path cwd;
  // Remove `cwd` after entering it, so that nothing can be created there.
  bool remove_cwd = false;
  unsigned umask = 022;
  // RLIMIT_FSIZE in bytes; negative for none.
  std::int64_t file_size_limit = -1;
  // Whether a file-size limit makes writes fail instead of killing the run.
  bool ignore_sigxfsz = true;
  // Signals the run starts with ignored; all others start with their
  // default action.
  std::vector<int> ignored_signals;
  // Program and arguments to run the tool under, such as strace.
  std::vector<std::string> wrapper;
};

// What a run of the tool did.
struct RunResult {
  int exit_code = -1;  // -1 when it died by a signal
  int signal = 0;      // the signal that ended it, or 0
  std::string out;     // with CRLF turned into LF on Windows
  std::string err;
};

// Runs the built tool with `args`, which are UTF-8, and waits for it.
RunResult RunTagwrap(const std::vector<std::string>& args,
                     const RunOptions& options);

}  // namespace test

#endif  // TAGWRAP_TEST_UTIL_H_
