// Scratch directories, files and runs of the built tool.
#include "test_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace test {

ScratchDir::ScratchDir() {
  std::string pattern = (fs::path(testing::TempDir()) / "tagwrap.XXXXXX");
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp");
  }
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void WriteFile(const fs::path& path, std::string_view bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file.flush()) throw std::runtime_error("cannot write " + path.string());
}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return "<missing>";
  return std::string(std::istreambuf_iterator<char>(file), {});
}

std::vector<std::string> ListDir(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
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
  umask(options.umask);
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

}  // namespace test
