// SPDX-License-Identifier: MIT
// Scratch directories, files and runs of the built tool.
#include "test_util.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace test {

ScratchDir::ScratchDir() {
  static std::mt19937_64 random(static_cast<std::uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count()));
  for (int attempt = 0; attempt < 100; ++attempt) {
    path_ = fs::temp_directory_path() /
            ("tagwrap-test-" + std::to_string(random() % 1000000000));
    if (fs::create_directory(path_)) return;
  }
  throw std::runtime_error("cannot create a scratch directory");
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

bool MemoryOutput::WriteOut(const char* data, std::size_t size,
                            std::string* error) {
  writes_.push_back(size);
  const std::size_t room = capacity_ - bytes_.size();
  bytes_.append(data, std::min(room, size));
  if (size > room) {
    *error = "write failed: No space left on device";
    return false;
  }
  return true;
}

#ifdef _WIN32
TmpfsMount::TmpfsMount(std::string_view size)
    : size_(size), error_("Windows has no tmpfs") {}
TmpfsMount::~TmpfsMount() = default;
bool TmpfsMount::MakeReadOnly() { return false; }

ExfatMount::ExfatMount(unsigned /*mebibytes*/)
    : error_("Windows has no loop devices") {}
ExfatMount::~ExfatMount() = default;

bool OnPath(const std::string& /*program*/) { return false; }
#else
TmpfsMount::TmpfsMount(std::string_view size) : size_("size=") {
  size_ += size;
  if (mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, size_.c_str()) != 0) {
    error_ = std::strerror(errno);
  }
}

TmpfsMount::~TmpfsMount() {
  // Detached, so that a file a failed test left open cannot keep it.
  if (mounted()) (void)umount2(dir_.path().c_str(), MNT_DETACH);
}

bool TmpfsMount::MakeReadOnly() {
  return mount(nullptr, dir_.path().c_str(), nullptr, MS_REMOUNT | MS_RDONLY,
               size_.c_str()) == 0;
}

namespace {

// Runs `command`, found on PATH; returns whether it exited 0, and in
// `output` what it printed, both streams together.
bool RunCommand(const std::vector<std::string>& command, std::string* output) {
  output->clear();
  std::vector<std::string> args = command;
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    *output = std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  pid_t pid = 0;
  const int err =
      posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (err != 0) {
    close(out[0]);
    *output = command[0] + ": " + std::strerror(err);
    return false;
  }
  char buf[4096];
  ssize_t n = 0;
  while ((n = read(out[0], buf, sizeof buf)) != 0) {
    if (n > 0) output->append(buf, static_cast<std::size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  close(out[0]);
  while (!output->empty() && output->back() == '\n') output->pop_back();
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

ExfatMount::ExfatMount(unsigned mebibytes) {
  const fs::path image = image_dir_ / "stick.img";
  std::string output;
  WriteFile(image, "");
  fs::resize_file(image, std::uintmax_t{mebibytes} << 20);
  if (!RunCommand({"mkfs.exfat", image.string()}, &output)) {
    error_ = "mkfs.exfat: " + output;
    return;
  }
  if (!RunCommand({"losetup", "-f", "--show", image.string()}, &output)) {
    error_ = "losetup: " + output;
    return;
  }
  device_ = output;
  if (!RunCommand({"mount.exfat-fuse", device_, dir_.path().string()},
                  &output)) {
    error_ = "mount.exfat-fuse: " + output;
    return;
  }
  fuse_mounted_ = true;
}

ExfatMount::~ExfatMount() {
  std::string ignored;
  // Lazily, so that a file a failed test left open cannot keep it.
  if (fuse_mounted_) (void)RunCommand({"umount", "-l", dir_.path()}, &ignored);
  if (!device_.empty()) (void)RunCommand({"losetup", "-d", device_}, &ignored);
}

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  const std::string dirs = path == nullptr ? "" : path;
  for (std::size_t start = 0; start <= dirs.size();) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const auto candidate =
        std::filesystem::path(dirs.substr(start, end - start)) / program;
    if (access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}
#endif

void WriteFile(const fs::path& path, std::string_view bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file.flush()) {
    throw std::runtime_error("cannot write " + path.u8string());
  }
}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return "<missing>";
  return std::string(std::istreambuf_iterator<char>(file), {});
}

std::vector<std::string> ListDir(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().u8string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string MakeImage(std::size_t size, std::uint32_t seed) {
  std::string image(size, '\0');
  std::mt19937 random(seed);
  for (char& c : image) c = static_cast<char>(random() & 0xff);
  image.replace(0, std::min<std::size_t>(4, size), "HDR0", 0,
                std::min<std::size_t>(4, size));
  return image;
}

std::string Header(std::string_view head, std::string_view length_field) {
  std::string header(head);
  header += "\nfilelen=";
  header += length_field;
  header += '\n';
  return header;
}

std::string ToolPath(const fs::path& path) {
  return fs::absolute(path).u8string();
}

#ifdef _WIN32

namespace {

// Quotes the UTF-8 `arg` so that the C runtime's command-line parser gives
// it back unchanged.
std::wstring Quote(const std::string& arg) {
  std::wstring wide(arg.size(), L'\0');
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, arg.data(), static_cast<int>(arg.size()),
                          wide.data(), static_cast<int>(wide.size()));
  wide.resize(static_cast<std::size_t>(std::max(n, 0)));
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : wide) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes double only before a quote.
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  quoted += L'"';
  return quoted;
}

HANDLE CreateInheritable(const fs::path& path) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileW(path.wstring().c_str(), GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The console is in text mode on Windows.
std::string ToLf(std::string text) {
  for (std::size_t pos = 0; (pos = text.find("\r\n", pos)) != text.npos;) {
    text.erase(pos, 1);
  }
  return text;
}

}  // namespace

RunResult RunTagwrap(const std::vector<std::string>& args,
                     const RunOptions& options) {
  const std::wstring program = fs::absolute(TAGWRAP_BINARY).wstring();
  std::wstring command_line = Quote("tagwrap");
  for (const std::string& arg : args) command_line += L" " + Quote(arg);

  // Console output goes to files, read once the run is over.
  ScratchDir capture;
  HANDLE out = CreateInheritable(capture / "stdout");
  HANDLE err = CreateInheritable(capture / "stderr");
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  const std::wstring cwd = options.cwd.wstring();
  // Under wine on a loaded machine, starting a process now and then fails
  // with "Internal error" before the tool runs at all; that is no result of
  // the tool's, so try again.
  BOOL started = FALSE;
  DWORD start_error = 0;
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    if (attempt > 0) Sleep(200);
    started =
        CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr,
                       TRUE, 0, nullptr, cwd.c_str(), &startup, &process);
    if (!started) start_error = GetLastError();
  }
  CloseHandle(out);
  CloseHandle(err);
  if (!started) {
    throw std::system_error(static_cast<int>(start_error),
                            std::system_category(), "CreateProcess");
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  RunResult result;
  result.exit_code = static_cast<int>(code);
  result.out = ToLf(ReadFile(capture / "stdout"));
  result.err = ToLf(ReadFile(capture / "stderr"));
  return result;
}

#else

namespace {

// Reads `out_fd` and `err_fd` to their ends, together, so that neither pipe
// can fill up and stall the child.
void Drain(int out_fd, int err_fd, std::string* out, std::string* err) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {out, err};
  int open_count = 2;
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "poll");
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
}

// Sets up the forked child as `options` say and runs `program` in it.
[[noreturn]] void ExecChild(const char* program, char* const* argv, int out_fd,
                            int err_fd, const RunOptions& options) {
  if (dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0) _exit(126);
  if (chdir(options.cwd.c_str()) != 0) _exit(126);
  if (options.remove_cwd && rmdir(options.cwd.c_str()) != 0) _exit(126);
  umask(static_cast<mode_t>(options.umask));
  // Whoever started the tests may have left some of these ignored.
  for (const int sig : {SIGHUP, SIGINT, SIGTERM, SIGXFSZ}) {
    (void)signal(sig, SIG_DFL);
  }
  for (const int sig : options.ignored_signals) (void)signal(sig, SIG_IGN);
  if (options.file_size_limit >= 0) {
    if (options.ignore_sigxfsz) (void)signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                       static_cast<rlim_t>(options.file_size_limit)};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
  }
  execvp(program, argv);
  _exit(127);
}

}  // namespace

RunResult RunTagwrap(const std::vector<std::string>& args,
                     const RunOptions& options) {
  // Everything the child needs is built before fork: it may only make
  // async-signal-safe calls.
  std::vector<std::string> command = options.wrapper;
  command.push_back(TAGWRAP_BINARY);
  command.insert(command.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(command.size() + 1);
  for (std::string& arg : command) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const char* const program = argv[0];
  if (options.wrapper.empty()) argv[0] = const_cast<char*>("tagwrap");

  // Pipes, not files: a file-size limit must not cut the console short.
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::system_error(errno, std::generic_category(), "pipe");
  }
  const pid_t pid = fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid == 0)
    ExecChild(program, argv.data(), out_pipe[1], err_pipe[1], options);
  close(out_pipe[1]);
  close(err_pipe[1]);
  RunResult result;
  Drain(out_pipe[0], err_pipe[0], &result.out, &result.err);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      throw std::system_error(errno, std::generic_category(), "waitpid");
    }
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

#endif

}  // namespace test
