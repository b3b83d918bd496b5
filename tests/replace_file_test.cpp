// SPDX-License-Identifier: MIT
// Tests of replacing a file: commit, discard, failures on real file systems,
// short writes, and what is left when the process dies mid-write.
#include "replace_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "test_util.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/types.h>
#include <unistd.h>
#endif

namespace {

using test::ListDir;
using test::MakeImage;
using test::ReadFile;
using test::ScratchDir;
using test::TmpfsMount;
using test::WriteFile;
using Names = std::vector<std::string>;

struct FileCloser {
  void operator()(std::FILE* file) const { (void)std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

constexpr char kEarlier[] = "the earlier file";

class ReplacementFileTest : public testing::Test {
 protected:
  ReplacementFileTest() { WriteFile(target_, kEarlier); }

  ScratchDir dir_;
  const std::string target_ = (dir_ / "target.bin").string();
};

TEST_F(ReplacementFileTest, CommitPutsTheNewFileInPlaceOfTheOldOne) {
  const std::string image = MakeImage(3 * OutputFile::kBlockSize + 5);
  ReplacementFile file;
  std::string error;
  ASSERT_TRUE(file.Create(target_, &error)) << error;
  ASSERT_TRUE(file.Write(image.data(), image.size(), &error)) << error;
#ifndef _WIN32
  // Whole blocks are on disk by now, in a file that has no name.
  EXPECT_EQ(ListDir(dir_.path()), Names{"target.bin"});
#endif
  EXPECT_EQ(ReadFile(target_), kEarlier);

  ASSERT_TRUE(file.Commit(&error)) << error;
  EXPECT_TRUE(ReadFile(target_) == image);
  EXPECT_EQ(ListDir(dir_.path()), Names{"target.bin"});
}

TEST_F(ReplacementFileTest, DiscardingKeepsTheEarlierFile) {
  for (const bool explicitly : {true, false}) {
    {
      ReplacementFile file;
      std::string error;
      ASSERT_TRUE(file.Create(target_, &error)) << error;
      const std::string image = MakeImage(2 * OutputFile::kBlockSize);
      ASSERT_TRUE(file.Write(image.data(), image.size(), &error)) << error;
      if (explicitly) file.Discard();
    }
    EXPECT_EQ(ReadFile(target_), kEarlier) << explicitly;
    EXPECT_EQ(ListDir(dir_.path()), Names{"target.bin"}) << explicitly;
  }
}

TEST_F(ReplacementFileTest, ReportsATargetThatCannotBeCreatedOrReplaced) {
  ReplacementFile file;
  std::string error;
  EXPECT_FALSE(file.Create((dir_ / "absent" / "x.bin").string(), &error));
  EXPECT_EQ(error, "cannot create a temporary file: No such file or directory");

  const auto directory = dir_ / "directory.bin";
  std::filesystem::create_directory(directory);
  ASSERT_TRUE(file.Create(directory.string(), &error)) << error;
  ASSERT_TRUE(file.Write("new", 3, &error)) << error;
  EXPECT_FALSE(file.Commit(&error));
  EXPECT_EQ(error, "cannot replace it: Is a directory");
  EXPECT_EQ(ListDir(dir_.path()), (Names{"directory.bin", "target.bin"}));
  EXPECT_TRUE(ListDir(directory).empty());
}

TEST_F(ReplacementFileTest, AFullDiskKeepsTheEarlierFile) {
  SKIP_ON_WINDOWS("no tmpfs");
  TmpfsMount disk("1m");
  REQUIRE_MOUNT(disk);
  const std::string target = (disk / "target.bin").string();
  WriteFile(target, kEarlier);
  WriteFile(dir_ / "input", MakeImage(1500000));
  File infile(std::fopen((dir_ / "input").string().c_str(), "rb"));
  ReplacementFile file;
  std::string error;
  ASSERT_TRUE(file.Create(target, &error)) << error;
  std::int64_t copied = 0;
  EXPECT_FALSE(file.CopyFrom(infile.get(), 1500000, &copied, &error));
  EXPECT_EQ(error, "write failed: No space left on device");
  file.Discard();
  EXPECT_EQ(ReadFile(target), kEarlier);
  EXPECT_EQ(ListDir(disk.path()), Names{"target.bin"});
}

TEST_F(ReplacementFileTest,
       NamesTheNewFileWhereTheFileSystemCannotLeaveItUnnamed) {
  SKIP_ON_WINDOWS("no loop devices");
  test::ExfatMount stick(4);
  REQUIRE_MOUNT(stick);
  const std::string target = (stick / "target.bin").string();
  WriteFile(target, kEarlier);
  ReplacementFile file;
  std::string error;
  ASSERT_TRUE(file.Create(target, &error)) << error;
  ASSERT_TRUE(file.Write("new bytes", 9, &error)) << error;
  const Names during = ListDir(stick.path());
  ASSERT_EQ(during.size(), 2U);
  EXPECT_EQ(during[0], "target.bin");
  EXPECT_EQ(during[1].rfind("target.bin.tmp", 0), 0U) << during[1];
  EXPECT_EQ(during[1].size(), std::string("target.bin.tmp").size() + 6);
  ASSERT_TRUE(file.Commit(&error)) << error;
  EXPECT_EQ(ReadFile(target), "new bytes");
  EXPECT_EQ(ListDir(stick.path()), Names{"target.bin"});
}

#ifdef _WIN32
TEST_F(ReplacementFileTest, EveryShortWriteIsCarriedOn) {
  SKIP_ON_WINDOWS("no link-time wrapping of write");
}
#else
// While not zero, every write the code under test makes is cut to this many
// bytes, as a signal or a pipe can cut one short.
std::atomic<std::size_t> write_cap{0};
}  // namespace

// The linker sends the code's calls of write here (--wrap=write).
extern "C" ssize_t __real_write(int fd, const void* data,  // NOLINT
                                size_t size);
extern "C" ssize_t __wrap_write(int fd, const void* data,  // NOLINT
                                size_t size) {
  const std::size_t cap = write_cap.load();
  return __real_write(fd, data, cap != 0 && size > cap ? cap : size);
}

namespace {

// Writes `bytes` into a new file for `target` and commits it; returns the
// error, or "" when that worked.
std::string Replace(const std::string& target, const std::string& bytes) {
  ReplacementFile file;
  std::string error;
  if (file.Create(target, &error) &&
      file.Write(bytes.data(), bytes.size(), &error) && file.Commit(&error)) {
    return "";
  }
  return error;
}

TEST_F(ReplacementFileTest, EveryShortWriteIsCarriedOn) {
  const std::string image = MakeImage(OutputFile::kBlockSize + 1000);
  for (const std::size_t cap :
       {std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
    write_cap = cap;
    const std::string error = Replace(target_, image);
    write_cap = 0;
    EXPECT_EQ(error, "") << cap;
    EXPECT_TRUE(ReadFile(target_) == image) << cap;
  }
}
#endif

// The directory that a death test's child writes in, which the parent then
// lists. Where the child is a new process that runs the test again from the
// start (Windows), it finds the parent's directory through the environment.
class DeathTestDir {
 public:
  DeathTestDir() {
    const char* inherited = std::getenv(kVariable);
    if (inherited != nullptr && *inherited != '\0') {
      path_ = std::filesystem::u8path(inherited);
      return;
    }
    own_ = std::make_unique<ScratchDir>();
    path_ = own_->path();
    SetVariable(path_.u8string());
  }
  ~DeathTestDir() {
    if (own_) SetVariable("");
  }
  DeathTestDir(const DeathTestDir&) = delete;
  DeathTestDir& operator=(const DeathTestDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  static constexpr char kVariable[] = "TAGWRAP_DEATH_TEST_DIR";
  static void SetVariable(const std::string& value) {
#ifdef _WIN32
    (void)_putenv_s(kVariable, value.c_str());
#else
    (void)setenv(kVariable, value.c_str(), 1);
#endif
  }

  std::unique_ptr<ScratchDir> own_;
  std::filesystem::path path_;
};

#ifdef _WIN32
// Ends the process at once, giving none of its code a chance to clean up.
void KillSelf() { TerminateProcess(GetCurrentProcess(), 9); }
bool KilledSelf(int status) { return testing::ExitedWithCode(9)(status); }
// While written, the new file has a name, marked for deletion.
constexpr std::size_t kEntriesWhileWriting = 2;
#else
void KillSelf() { (void)std::raise(SIGKILL); }
bool KilledSelf(int status) { return testing::KilledBySignal(SIGKILL)(status); }
// While written, the new file has no name.
constexpr std::size_t kEntriesWhileWriting = 1;
#endif

TEST(ReplacementFileDeathTest, AKilledWriterLeavesNothingBehind) {
  // The child is forked where the death test starts, so it writes in the
  // very directory the parent lists afterwards; Windows, which cannot fork,
  // hands the directory down through the environment.
  GTEST_FLAG_SET(death_test_style, "fast");
  DeathTestDir dir;
  const std::string target = (dir.path() / "target.bin").string();
  WriteFile(target, kEarlier);
  EXPECT_EXIT(
      {
        ReplacementFile file;
        std::string error;
        const std::string image = MakeImage(3 * OutputFile::kBlockSize);
        if (!file.Create(target, &error)) std::_Exit(10);
        if (!file.Write(image.data(), image.size(), &error)) std::_Exit(11);
        if (ListDir(dir.path()).size() != kEntriesWhileWriting) std::_Exit(13);
        KillSelf();
      },
      KilledSelf, "");
  EXPECT_EQ(ReadFile(target), kEarlier);
  EXPECT_EQ(ListDir(dir.path()), Names{"target.bin"});
}

#ifdef _WIN32
TEST(ReplacementFileDeathTest, ASignalRemovesTheNamedFileAndEndsTheRun) {
  SKIP_ON_WINDOWS("no signals that end a run, and no loop devices");
}
#else
TEST(ReplacementFileDeathTest, ASignalRemovesTheNamedFileAndEndsTheRun) {
  GTEST_FLAG_SET(death_test_style, "fast");
  test::ExfatMount stick(4);
  REQUIRE_MOUNT(stick);
  const std::string target = (stick / "target.bin").string();
  const int signals[] = {SIGHUP,    SIGINT,  SIGQUIT, SIGTERM, SIGPIPE,
                         SIGALRM,   SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ,
                         SIGVTALRM, SIGPROF, SIGPOLL};
  for (const int sig : signals) {
    for (const bool ignored : {false, true}) {
      WriteFile(target, kEarlier);
      EXPECT_EXIT(
          {
            if (ignored) (void)std::signal(sig, SIG_IGN);
            ReplacementFile file;
            std::string error;
            if (!file.Create(target, &error)) std::_Exit(10);
            if (!file.Write("new", 3, &error)) std::_Exit(11);
            // The new file has its temporary name beside the target.
            if (ListDir(stick.path()).size() != 2) std::_Exit(12);
            (void)std::raise(sig);
            if (!file.Commit(&error)) std::_Exit(13);
            std::_Exit(0);
          },
          [&](int status) {
            return ignored ? testing::ExitedWithCode(0)(status)
                           : testing::KilledBySignal(sig)(status);
          },
          "")
          << sig << (ignored ? " ignored" : "");
      EXPECT_EQ(ReadFile(target), ignored ? "new" : kEarlier) << sig;
      EXPECT_EQ(ListDir(stick.path()), Names{"target.bin"}) << sig;
    }
  }
}
#endif

}  // namespace
