// SPDX-License-Identifier: MIT
// Tests of replacing a file: commit, discard, failures on real file systems
// and the cleanup when a signal ends the run.
#include "replace_file.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "test_util.h"

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

File Open(const std::filesystem::path& path) {
  return File(std::fopen(path.string().c_str(), "rb"));
}

constexpr char kEarlier[] = "the earlier file";

class ReplacementFileTest : public testing::Test {
 protected:
  ReplacementFileTest() { WriteFile(target_, kEarlier); }

  ScratchDir dir_;
  const std::string target_ = (dir_ / "target.bin").string();
};

TEST_F(ReplacementFileTest, CommitPutsTheNewFileInPlaceOfTheOldOne) {
  ReplacementFile file;
  std::string error;
  ASSERT_TRUE(file.Create(target_, &error)) << error;
  // The new bytes go to a file of their own beside the target.
  const Names during = ListDir(dir_.path());
  ASSERT_EQ(during.size(), 2U);
  EXPECT_EQ(during[0], "target.bin");
  EXPECT_EQ(during[1].rfind("target.bin.tmp", 0), 0U) << during[1];
  EXPECT_EQ(during[1].size(), std::string("target.bin.tmp").size() + 6);
  ASSERT_TRUE(file.Write("new ", 4, &error)) << error;
  ASSERT_TRUE(file.Write("bytes", 5, &error)) << error;
  EXPECT_EQ(ReadFile(target_), kEarlier);

  ASSERT_TRUE(file.Commit(&error)) << error;
  EXPECT_EQ(ReadFile(target_), "new bytes");
  EXPECT_EQ(ListDir(dir_.path()), Names{"target.bin"});
}

TEST_F(ReplacementFileTest, DiscardingKeepsTheEarlierFile) {
  for (const bool explicitly : {true, false}) {
    {
      ReplacementFile file;
      std::string error;
      ASSERT_TRUE(file.Create(target_, &error)) << error;
      ASSERT_TRUE(file.Write("new", 3, &error)) << error;
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

TEST_F(ReplacementFileTest, CopiesFromWhereTheStreamIsAndLeavesItAfterward) {
  SKIP_ON_WINDOWS("no tmpfs");
  // The kernel copies within one file system; from another, memory does.
  TmpfsMount other("4m");
  REQUIRE_MOUNT(other);
  const std::string input = MakeImage(300000);
  const struct {
    std::filesystem::path input_path;
    std::int64_t size;
    std::int64_t copied;
    int next;  // the byte the stream gives afterwards
  } cases[] = {
      {dir_ / "input", 200000, 200000,
       static_cast<unsigned char>(input[200004])},
      {dir_ / "input", 400000, 299996, EOF},
      {other / "input", 200000, 200000,
       static_cast<unsigned char>(input[200004])},
      {other / "input", 400000, 299996, EOF},
  };
  for (const auto& c : cases) {
    const std::string what =
        c.input_path.string() + ", " + std::to_string(c.size);
    WriteFile(c.input_path, input);
    File infile = Open(c.input_path);
    // Reading the magic fills the stream's buffer well past it.
    for (int i = 0; i < 4; ++i) (void)std::fgetc(infile.get());
    ReplacementFile file;
    std::string error;
    ASSERT_TRUE(file.Create(target_, &error)) << error;
    ASSERT_TRUE(file.Write("head", 4, &error)) << error;
    std::int64_t copied = -1;
    ASSERT_TRUE(file.CopyFrom(infile.get(), c.size, &copied, &error))
        << what << ": " << error;
    EXPECT_EQ(copied, c.copied) << what;
    EXPECT_EQ(std::fgetc(infile.get()), c.next) << what;
    ASSERT_TRUE(file.Commit(&error)) << error;
    EXPECT_TRUE(ReadFile(target_) ==
                "head" + input.substr(4, static_cast<std::size_t>(c.copied)))
        << what;
  }
}

TEST_F(ReplacementFileTest, AFullDiskKeepsTheEarlierFile) {
  SKIP_ON_WINDOWS("no tmpfs");
  TmpfsMount disk("1m");
  REQUIRE_MOUNT(disk);
  const std::string target = (disk / "target.bin").string();
  WriteFile(target, kEarlier);
  // Within the tmpfs the kernel copies; from outside, memory does.
  const struct {
    std::filesystem::path input_path;
    std::int64_t size;
  } cases[] = {{disk / "input", 700000}, {dir_ / "input", 1500000}};
  for (const auto& c : cases) {
    WriteFile(c.input_path, MakeImage(static_cast<std::size_t>(c.size)));
    File infile = Open(c.input_path);
    ReplacementFile file;
    std::string error;
    ASSERT_TRUE(file.Create(target, &error)) << error;
    std::int64_t copied = 0;
    EXPECT_FALSE(file.CopyFrom(infile.get(), c.size, &copied, &error))
        << c.input_path;
    EXPECT_EQ(error, "write failed: No space left on device") << c.input_path;
    file.Discard();
    infile.reset();
    std::filesystem::remove(c.input_path);
    EXPECT_EQ(ReadFile(target), kEarlier) << c.input_path;
    EXPECT_EQ(ListDir(disk.path()), Names{"target.bin"}) << c.input_path;
  }
}

#ifdef _WIN32
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGBREAK};
// The C runtime's default action for these exits with status 3.
testing::ExitedWithCode DiedBy(int /*sig*/) {
  return testing::ExitedWithCode(3);
}
#else
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGXFSZ};
testing::KilledBySignal DiedBy(int sig) { return testing::KilledBySignal(sig); }
#endif

TEST_F(ReplacementFileTest, ASignalRemovesTheTemporaryFileAndEndsTheRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const int sig : kSignals) {
    EXPECT_EXIT(
        {
          ReplacementFile file;
          std::string error;
          if (!file.Create(target_, &error)) std::_Exit(10);
          if (!file.Write("new", 3, &error)) std::_Exit(11);
          (void)std::raise(sig);
          std::_Exit(12);
        },
        DiedBy(sig), "")
        << sig;
    EXPECT_EQ(ReadFile(target_), kEarlier) << sig;
    EXPECT_EQ(ListDir(dir_.path()), Names{"target.bin"}) << sig;
  }
}

}  // namespace
