// SPDX-License-Identifier: MIT
// End-to-end tests: the built tool run in a fresh directory, checked by its
// console output, exit status, output bytes and the files it leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "test_util.h"

#ifdef _WIN32
#include <windows.h>
#include <winver.h>
#else
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace {

using test::Header;
using test::ListDir;
using test::MakeImage;
using test::ReadFile;
using test::RunOptions;
using test::RunResult;
using test::ScratchDir;
using test::ToolPath;
using test::WriteFile;

using namespace std::string_literals;
using namespace std::string_view_literals;
using Names = std::vector<std::string>;

constexpr char kUsage[] =
    "\n tagwrap v0.2 - add Buffalo header to input file\n\n"
    " usage:\n\n"
    "tagwrap inputfile model\n\n\n"
    " inputfile: generic larkos build\n\n"
    " supported model strings:\n\n"
    "  wla-g54\n"
    "  wla-g54c\n"
    "  wla2-g54c\n"
    "  wla2-g54l\n"
    "  wbr-g54\n"
    "  wbr2-g54\n"
    "  wbr2-g54s\n"
    "  wli-tx4-g54hp\n"
    "  wli3-tx1-g54\n"
    "  wzr-rs-g54\n";

constexpr char kHead[] = "WZR-RS-G54 2.32 1.01";
constexpr char kOutput[] = "lk-buffalo-wzr-rs-g54.bin";

std::string Selected(std::string_view key) {
  return "\nSelected model: " + std::string(key) + "\n";
}

std::string Success(std::string_view key, std::int64_t size) {
  return Selected(key) + "input file size = " + std::to_string(size) +
         "\nFile lk-buffalo-" + std::string(key) +
         ".bin written with added Buffalo header";
}

std::string WriteFailed(std::int64_t size, std::string_view reason) {
  return Selected("wzr-rs-g54") + "input file size = " + std::to_string(size) +
         "\ncould not write " + kOutput + " - " + std::string(reason) + "!\n";
}

class TagwrapTest : public testing::Test {
 protected:
  RunResult Run(const std::vector<std::string>& args, RunOptions options = {}) {
    options.cwd = dir_.path();
    return test::RunTagwrap(args, options);
  }

  // Writes a generic image of `size` bytes as "generic.bin".
  std::string WriteImage(std::size_t size) {
    std::string image = MakeImage(size, static_cast<std::uint32_t>(size));
    WriteFile(dir_ / "generic.bin", image);
    return image;
  }

  ScratchDir dir_;
};

TEST_F(TagwrapTest, PrintsUsageUnlessGivenExactlyTwoArguments) {
  WriteImage(100);
  const std::vector<std::string> cases[] = {
      {},
      {"generic.bin"},
      {"generic.bin", "wzr-rs-g54", "extra"},
      {"generic.bin", "wzr-rs-g54", "", ""},
  };
  for (const auto& args : cases) {
    const RunResult r = Run(args);
    EXPECT_EQ(r.out, kUsage) << args.size() << " arguments";
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 2) << args.size() << " arguments";
    EXPECT_EQ(ListDir(dir_.path()), Names{"generic.bin"});
  }
}

TEST_F(TagwrapTest, TagsAnImageForEveryModel) {
  const std::string image = WriteImage(4321);
  Names expected_files = {"generic.bin"};
  for (const auto& m : test::kExpectedModels) {
    const RunResult r = Run({"generic.bin", std::string(m.key)});
    const std::string output = "lk-buffalo-" + std::string(m.key) + ".bin";
    EXPECT_EQ(r.out, Success(m.key, 4321)) << m.key;
    EXPECT_EQ(r.err, "") << m.key;
    EXPECT_EQ(r.exit_code, 0) << m.key;
    EXPECT_TRUE(ReadFile(dir_ / output) ==
                Header(m.head, "4321\0\0\0"s) + image)
        << m.key;
    expected_files.push_back(output);
  }
  std::sort(expected_files.begin(), expected_files.end());
  EXPECT_EQ(ListDir(dir_.path()), expected_files);
}

TEST_F(TagwrapTest, WritesTheLengthFieldAtEveryDigitCount) {
  const struct {
    std::size_t size;
    std::string_view field;
  } cases[] = {
      {4, "4\0\0\0\0\0\0"sv}, {42, "42\0\0\0\0\0"sv}, {99999, "99999\0\0"sv},
      {100000, "100000\0"sv}, {999999, "999999\0"sv}, {1000000, "1000000"},
      {9999999, "9999999"},
  };
  for (const auto& c : cases) {
    const std::string image = WriteImage(c.size);
    const RunResult r = Run({"generic.bin", "wzr-rs-g54"});
    EXPECT_EQ(r.out, Success("wzr-rs-g54", static_cast<std::int64_t>(c.size)))
        << c.size;
    EXPECT_EQ(r.exit_code, 0) << c.size;
    const std::string written = ReadFile(dir_ / kOutput);
    EXPECT_EQ(written.substr(0, 37), Header(kHead, c.field)) << c.size;
    EXPECT_TRUE(written.substr(37) == image) << c.size;
    EXPECT_EQ(ListDir(dir_.path()), (Names{"generic.bin", kOutput}));
  }
}

TEST_F(TagwrapTest, ReportsEachFailureWithItsMessageAndWritesNothing) {
  const std::string input_missing =
      "file N/A - please select valid input file!\n";
  const std::string input_invalid =
      "Input file is invalid, please use generic.bin file\n";
  const std::string not_regular =
      "input file is not a regular file - please select valid input file!\n";
  struct Case {
    std::string input_bytes;  // written as "generic.bin"
    std::string path;
    std::string key;
    std::string out;
  };
  std::vector<Case> cases = {
      {"", "absent.bin", "no-such-model",
       Selected("no-such-model") + input_missing},
      {"", "", "wzr-rs-g54", Selected("wzr-rs-g54") + input_missing},
      {"", "generic.bin/x", "wzr-rs-g54",
       Selected("wzr-rs-g54") + input_missing},
      {"", "generic.bin", "wzr-rs-g54", Selected("wzr-rs-g54") + input_invalid},
      {"HDR", "generic.bin", "wzr-rs-g54",
       Selected("wzr-rs-g54") + input_invalid},
      {"hdr0 rest", "generic.bin", "wzr-rs-g54",
       Selected("wzr-rs-g54") + input_invalid},
      {"HDR1 rest", "generic.bin", "wzr-rs-g54",
       Selected("wzr-rs-g54") + input_invalid},
      {"HDR1 rest", "generic.bin", "WZR", Selected("WZR") + input_invalid},
      {"HDR0", "generic.bin", "WZR-RS-G54",
       Selected("WZR-RS-G54") +
           "unknown model WZR-RS-G54 - please select valid model!\n"},
      {"HDR0", "generic.bin", "wzr-rs-g54 ",
       Selected("wzr-rs-g54 ") +
           "unknown model wzr-rs-g54  - please select valid model!\n"},
      {"HDR0", "generic.bin", "wzr-rs",
       Selected("wzr-rs") +
           "unknown model wzr-rs - please select valid model!\n"},
      {"HDR0", "generic.bin", "",
       Selected("") + "unknown model  - please select valid model!\n"},
      {"HDR0", "generic.bin", "%s%n%d",
       Selected("%s%n%d") +
           "unknown model %s%n%d - please select valid model!\n"},
      {"HDR0", ".", "wzr-rs-g54", Selected("wzr-rs-g54") + not_regular},
  };
#ifndef _WIN32
  cases.push_back({"HDR0", "/dev/zero", "wzr-rs-g54",
                   Selected("wzr-rs-g54") + not_regular});
#endif
  for (const auto& c : cases) {
    WriteFile(dir_ / "generic.bin", c.input_bytes);
    const RunResult r = Run({c.path, c.key});
    EXPECT_EQ(r.out, c.out) << c.path << ", " << c.key;
    EXPECT_EQ(r.err, "") << c.path << ", " << c.key;
    EXPECT_EQ(r.exit_code, 1) << c.path << ", " << c.key;
    EXPECT_EQ(ListDir(dir_.path()), Names{"generic.bin"});
  }
}

#ifdef _WIN32
TEST_F(TagwrapTest, RefusesAPipeWithoutReadingIt) {
  SKIP_ON_WINDOWS("no fifos");
}
#else
TEST_F(TagwrapTest, RefusesAPipeWithoutReadingIt) {
  // Nobody writes to this fifo: opening it would hang the run.
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  const RunResult r = Run({"fifo", "wzr-rs-g54"});
  EXPECT_EQ(r.out, Selected("wzr-rs-g54") +
                       "input file is not a regular file - please select "
                       "valid input file!\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(ListDir(dir_.path()), Names{"fifo"});
}
#endif

TEST_F(TagwrapTest, OpensPathsWrittenInAnyScript) {
  const std::string image = MakeImage(7000, 3);
  const struct {
    std::string cwd;    // below the scratch directory; "" for itself
    std::string input;  // below the scratch directory
    bool absolute;      // whether the tool is given the input's full path
  } cases[] = {
      {"固件", "固件/прошивка.bin", false},
      {"", "Ελληνικά/υλικολογισμικό 🔥.trx", true},
      {"прошивка", "прошивка/固件/😀.bin", false},
      {"🔥 固件", "Ελληνικά/прошивка 固件.bin", true},
  };
  for (const auto& c : cases) {
    const auto cwd = dir_ / c.cwd;
    const auto input = dir_ / c.input;
    std::filesystem::create_directories(cwd);
    std::filesystem::create_directories(input.parent_path());
    WriteFile(input, image);
    std::string arg = ToolPath(input);
    if (!c.absolute) {
      arg = std::filesystem::relative(input, cwd).u8string();
    }
    RunOptions options;
    options.cwd = cwd;
    const RunResult r = test::RunTagwrap({arg, "wzr-rs-g54"}, options);
    EXPECT_EQ(r.out, Success("wzr-rs-g54", 7000)) << arg;
    EXPECT_EQ(r.exit_code, 0) << arg;
    EXPECT_TRUE(ReadFile(cwd / kOutput) == Header(kHead, "7000\0\0\0"s) + image)
        << arg;
    std::filesystem::remove(cwd / kOutput);
  }
  const RunResult r = Run({"отсутствует 固件.bin", "wzr-rs-g54"});
  EXPECT_EQ(r.out, Selected("wzr-rs-g54") +
                       "file N/A - please select valid input file!\n");
}

TEST_F(TagwrapTest, EchoesANonAsciiKeyByteForByte) {
  WriteImage(100);
  for (const std::string key : {"wzr-rs-g54-ü", "固件", "прошивка", "🔥"}) {
    const RunResult r = Run({"generic.bin", key});
    EXPECT_EQ(r.out, Selected(key) + "unknown model " + key +
                         " - please select valid model!\n")
        << key;
    EXPECT_EQ(r.exit_code, 1) << key;
    EXPECT_EQ(ListDir(dir_.path()), Names{"generic.bin"}) << key;
  }
}

#ifdef _WIN32
// Returns the string `name` of the version resource in `info`, or "".
std::string VersionString(const std::vector<char>& info, const char* name) {
  char* value = nullptr;
  UINT size = 0;
  const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
  if (VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void**>(&value),
                     &size) == 0 ||
      size == 0) {
    return "";
  }
  return std::string(value, size - 1);
}

TEST(VersionResourceTest, SaysWhatTheProgramIs) {
  const std::string program = ToolPath(TAGWRAP_BINARY);
  const DWORD size = GetFileVersionInfoSizeA(program.c_str(), nullptr);
  ASSERT_NE(size, 0U) << "no version resource in " << program;
  std::vector<char> info(size);
  ASSERT_NE(GetFileVersionInfoA(program.c_str(), 0, size, info.data()), 0);
  EXPECT_EQ(VersionString(info, "ProductName"), "tagwrap");
  EXPECT_EQ(VersionString(info, "ProductVersion"), "0.2");
  EXPECT_EQ(VersionString(info, "FileVersion"), "0.2");
  EXPECT_EQ(VersionString(info, "FileDescription"),
            "Adds a Buffalo header to generic larkos firmware images");
  EXPECT_EQ(VersionString(info, "LegalCopyright"),
            "Copyright (c) 2026 the tagwrap authors. MIT License.");
}
#else
TEST(VersionResourceTest, SaysWhatTheProgramIs) {
  GTEST_SKIP() << "only Windows programs carry a version resource";
}
#endif

TEST_F(TagwrapTest, RefusesImagesTooLargeForTheLengthField) {
  WriteImage(10000000);
  // Sparse files past 4 GiB are refused by their true size, without being
  // read: a size cut to 32 bits would state 100 bytes for the first.
  WriteFile(dir_ / "huge.bin", "HDR0");
  std::filesystem::resize_file(dir_ / "huge.bin", (4ULL << 30) + 100);
  WriteFile(dir_ / "huger.bin", "HDR0");
  std::filesystem::resize_file(dir_ / "huger.bin", 5ULL << 30);
  const struct {
    const char* path;
    const char* size;
  } cases[] = {{"generic.bin", "10000000"},
               {"huge.bin", "4294967396"},
               {"huger.bin", "5368709120"}};
  for (const auto& c : cases) {
    const RunResult r = Run({c.path, "wzr-rs-g54"});
    EXPECT_EQ(r.out, Selected("wzr-rs-g54") + "input file size = " + c.size +
                         "\ninput file too large - the header's 7-digit "
                         "length field holds at most 9999999 bytes!\n")
        << c.path;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 1) << c.path;
    EXPECT_EQ(ListDir(dir_.path()),
              (Names{"generic.bin", "huge.bin", "huger.bin"}));
  }
}

TEST_F(TagwrapTest, ReplacesAnExistingOutput) {
  const std::string image = WriteImage(5000);
  WriteFile(dir_ / kOutput,
            "an earlier output, longer than the new one " + MakeImage(9000));
  const RunResult r = Run({"generic.bin", "wzr-rs-g54"});
  EXPECT_EQ(r.out, Success("wzr-rs-g54", 5000));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(ReadFile(dir_ / kOutput) ==
              Header(kHead, "5000\0\0\0"sv) + image);
  EXPECT_EQ(ListDir(dir_.path()), (Names{"generic.bin", kOutput}));
}

TEST_F(TagwrapTest, ReplacesASymlinkAtTheOutputNameInsteadOfWritingThroughIt) {
  SKIP_ON_WINDOWS("symbolic links need privileges");
  const std::string image = WriteImage(5000);
  WriteFile(dir_ / "victim", "must not be written through a link");
  std::filesystem::create_symlink("victim", dir_ / kOutput);
  const RunResult r = Run({"generic.bin", "wzr-rs-g54"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(ReadFile(dir_ / "victim"), "must not be written through a link");
  EXPECT_TRUE(std::filesystem::is_regular_file(
      std::filesystem::symlink_status(dir_ / kOutput)));
  EXPECT_TRUE(ReadFile(dir_ / kOutput) ==
              Header(kHead, "5000\0\0\0"sv) + image);
  EXPECT_EQ(ListDir(dir_.path()), (Names{"generic.bin", kOutput, "victim"}));
}

TEST_F(TagwrapTest, CopiesLineEndsAndEndOfFileBytesUnchanged) {
  // Bytes that text-mode streams would translate or stop at.
  std::string image = "HDR0";
  const std::string_view tricky = "\n\r\x1a\r\n\n\r\r\x1a\x1a\0"sv;
  while (image.size() < 200000) image += tricky;
  WriteFile(dir_ / "generic.bin", image);
  const RunResult r = Run({"generic.bin", "wzr-rs-g54"});
  EXPECT_EQ(r.out,
            Success("wzr-rs-g54", static_cast<std::int64_t>(image.size())));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(ReadFile(dir_ / kOutput) ==
              Header(kHead, std::to_string(image.size()) + "\0"s) + image);
}

TEST_F(TagwrapTest, GivesTheOutputThePermissionsOfAPlainCreate) {
  SKIP_ON_WINDOWS("no umask or mode bits");
  WriteImage(100);
  const struct {
    unsigned umask;
    unsigned mode;
  } cases[] = {{022, 0644}, {027, 0640}, {077, 0600}, {0, 0666}, {002, 0664}};
  for (const auto& c : cases) {
    RunOptions options;
    options.umask = c.umask;
    ASSERT_EQ(Run({"generic.bin", "wzr-rs-g54"}, options).exit_code, 0);
    const auto perms = std::filesystem::status(dir_ / kOutput).permissions();
    EXPECT_EQ(static_cast<unsigned>(perms) & 07777, c.mode)
        << std::oct << c.umask;
  }
}

TEST_F(TagwrapTest, AFailedWriteKeepsTheEarlierOutput) {
  SKIP_ON_WINDOWS("no file-size limit to make writes fail");
  const std::string earlier = "earlier output";
  WriteFile(dir_ / kOutput, earlier);
  WriteImage(1000000);
  const struct {
    std::int64_t limit;
    const char* what;
  } cases[] = {
      {0, "at the header"},           {20, "within the header"},
      {65536, "at a block boundary"}, {500000, "in the middle of the copy"},
      {1000036, "at the last byte"},
  };
  for (const auto& c : cases) {
    RunOptions options;
    options.file_size_limit = c.limit;
    const RunResult r = Run({"generic.bin", "wzr-rs-g54"}, options);
    EXPECT_EQ(r.out, WriteFailed(1000000, "write failed: File too large"))
        << c.what;
    EXPECT_EQ(r.err, "") << c.what;
    EXPECT_EQ(r.exit_code, 1) << c.what;
    EXPECT_EQ(ReadFile(dir_ / kOutput), earlier) << c.what;
    EXPECT_EQ(ListDir(dir_.path()), (Names{"generic.bin", kOutput})) << c.what;
  }
}

TEST_F(TagwrapTest, ADirectoryAtTheOutputNameIsLeftAlone) {
  WriteImage(3000);
  ASSERT_TRUE(std::filesystem::create_directory(dir_ / kOutput));
  WriteFile(dir_ / kOutput / "keep", "kept");
  const RunResult r = Run({"generic.bin", "wzr-rs-g54"});
  EXPECT_EQ(r.out, WriteFailed(3000, "cannot replace it: Is a directory"));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(ListDir(dir_.path()), (Names{"generic.bin", kOutput}));
  EXPECT_EQ(ReadFile(dir_ / kOutput / "keep"), "kept");
}

TEST_F(TagwrapTest, AFullDiskKeepsTheEarlierOutputAndLeavesNoTemporaryFile) {
  SKIP_ON_WINDOWS("no tmpfs");
  test::TmpfsMount disk("2m");
  REQUIRE_MOUNT(disk);
  const std::string earlier = "earlier output";
  WriteFile(disk / kOutput, earlier);
  // From outside the payload is copied through memory, from inside by the
  // kernel; either way the disk fills up.
  const struct {
    std::filesystem::path input;
    std::size_t size;
  } cases[] = {{dir_ / "generic.bin", 9999999},
               {disk / "generic.bin", 1500000}};
  for (const auto& c : cases) {
    WriteFile(c.input, MakeImage(c.size));
    RunOptions options;
    options.cwd = disk.path();
    const RunResult r =
        test::RunTagwrap({ToolPath(c.input), "wzr-rs-g54"}, options);
    EXPECT_EQ(r.out, WriteFailed(static_cast<std::int64_t>(c.size),
                                 "write failed: No space left on device"))
        << c.input;
    EXPECT_EQ(r.exit_code, 1) << c.input;
    EXPECT_EQ(ReadFile(disk / kOutput), earlier) << c.input;
    std::filesystem::remove(c.input);
    EXPECT_EQ(ListDir(disk.path()), Names{kOutput}) << c.input;
  }
}

TEST_F(TagwrapTest, AReadOnlyFileSystemKeepsTheEarlierOutput) {
  SKIP_ON_WINDOWS("no tmpfs");
  test::TmpfsMount disk("2m");
  REQUIRE_MOUNT(disk);
  const std::string earlier = "earlier output";
  WriteFile(disk / kOutput, earlier);
  ASSERT_TRUE(disk.MakeReadOnly());
  WriteImage(5000);
  RunOptions options;
  options.cwd = disk.path();
  const RunResult r =
      test::RunTagwrap({ToolPath(dir_ / "generic.bin"), "wzr-rs-g54"}, options);
  EXPECT_EQ(r.out, WriteFailed(5000,
                               "cannot create a temporary file: Read-only "
                               "file system"));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(ReadFile(disk / kOutput), earlier);
  EXPECT_EQ(ListDir(disk.path()), Names{kOutput});
}

TEST_F(TagwrapTest, CopiesExactlyBetweenFileSystems) {
  SKIP_ON_WINDOWS("no tmpfs");
  // The kernel refuses to copy between these, so memory does it.
  test::TmpfsMount other("4m");
  REQUIRE_MOUNT(other);
  const std::string image = MakeImage(1234567, 5);
  const struct {
    std::filesystem::path input;
    std::filesystem::path cwd;
  } cases[] = {{other / "generic.bin", dir_.path()},
               {dir_ / "generic.bin", other.path()}};
  for (const auto& c : cases) {
    WriteFile(c.input, image);
    RunOptions options;
    options.cwd = c.cwd;
    const RunResult r =
        test::RunTagwrap({ToolPath(c.input), "wzr-rs-g54"}, options);
    EXPECT_EQ(r.out, Success("wzr-rs-g54", 1234567)) << c.input;
    EXPECT_EQ(r.exit_code, 0) << c.input;
    EXPECT_TRUE(ReadFile(c.cwd / kOutput) == Header(kHead, "1234567") + image)
        << c.input;
    std::filesystem::remove(c.input);
    std::filesystem::remove(c.cwd / kOutput);
  }
}

TEST_F(TagwrapTest, ReportsAnOutputThatCannotBeCreated) {
  SKIP_ON_WINDOWS("a running process's directory cannot be removed");
  ScratchDir input_dir;
  WriteFile(input_dir / "generic.bin", MakeImage(3000));
  RunOptions options;
  options.remove_cwd = true;
  const RunResult r =
      Run({ToolPath(input_dir / "generic.bin"), "wzr-rs-g54"}, options);
  EXPECT_EQ(r.out,
            WriteFailed(3000,
                        "cannot create a temporary file: No such file or "
                        "directory"));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(ListDir(input_dir.path()), Names{"generic.bin"});
}

TEST_F(TagwrapTest, TagsTheEarlierOutputItself) {
  // The input is read to its end and closed before its name is replaced,
  // which Windows refuses while the input is open.
  const std::string image = MakeImage(700000, 4);
  WriteFile(dir_ / kOutput, image);
  const RunResult r = Run({kOutput, "wzr-rs-g54"});
  EXPECT_EQ(r.out, Success("wzr-rs-g54", 700000));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(ReadFile(dir_ / kOutput) == Header(kHead, "700000\0"s) + image);
  EXPECT_EQ(ListDir(dir_.path()), Names{kOutput});
}

#ifdef _WIN32
TEST_F(TagwrapTest, AnInterruptMidCopyLeavesNothingAndDiesByItsSignal) {
  SKIP_ON_WINDOWS("no strace to deliver a signal in the middle of the copy");
}
TEST_F(TagwrapTest, OnAStickWithoutUnnamedFilesTheTemporaryFileIsRemoved) {
  SKIP_ON_WINDOWS("no loop devices");
}
TEST_F(TagwrapTest, AnIgnoredHangupStaysIgnored) {
  SKIP_ON_WINDOWS("no SIGHUP");
}
TEST_F(TagwrapTest, AFileSizeLimitThatKillsTheRunLeavesNoTemporaryFile) {
  SKIP_ON_WINDOWS("no file-size limit");
}
TEST_F(TagwrapTest, SystemCallFaultsGiveTheRightResult) {
  SKIP_ON_WINDOWS("no strace");
}
TEST_F(TagwrapTest, ANamedTemporaryFileIsCreatedAfreshAfterAClash) {
  SKIP_ON_WINDOWS("no strace");
}
TEST_F(TagwrapTest, RefusesAnInputHoldingMoreThanItsSizeStates) {
  SKIP_ON_WINDOWS("no /proc");
}
#else
// Runs the tool on `input` under strace with `strace_options` (say, a signal
// injected into a syscall); returns the run and, in `trace`, strace's log.
RunResult RunUnderStrace(const std::string& input,
                         const std::vector<std::string>& strace_options,
                         RunOptions options, std::string* trace) {
  ScratchDir log_dir;
  const std::string log = (log_dir / "strace.log").string();
  // LeakSanitizer cannot run under ptrace; the other checks still do.
  options.wrapper = {"strace", "-f", "-o",
                     log,      "-E", "ASAN_OPTIONS=detect_leaks=0"};
  options.wrapper.insert(options.wrapper.end(), strace_options.begin(),
                         strace_options.end());
  RunResult r = test::RunTagwrap({input, "wzr-rs-g54"}, options);
  *trace = ReadFile(log);
  return r;
}

constexpr char kTraced[] = "trace=openat,write,unlink,rename,linkat";

// Returns the lines of `text`.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0, end = 0; start < text.size(); start = end + 1) {
    end = std::min(text.find('\n', start), text.size());
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// Strace options that send `sig` on entering the `when`th write.
std::vector<std::string> SignalAtWrite(const std::string& sig, int when) {
  return {"-e", kTraced, "-e",
          "inject=write:signal=" + sig + ":when=" + std::to_string(when)};
}

// Runs the tool on `input` under strace once without a fault, removes its
// output, and returns which write, counting all from 1, wrote the third
// block of the output, deep in the copy. Which that is differs by build: a
// sanitizer writes too.
int WriteOfThirdBlock(const std::string& input, const RunOptions& options) {
  std::string trace;
  (void)RunUnderStrace(input, {"-e", "trace=write"}, options, &trace);
  std::filesystem::remove(options.cwd / kOutput);
  std::string output_fd;  // "write(N," of the writes into the output
  int writes = 0;
  int blocks = 0;
  for (const std::string& text : Lines(trace)) {
    const auto call = text.find("write(");
    if (call == std::string::npos) continue;
    ++writes;
    if (output_fd.empty() &&
        text.find("\"WZR-RS-G54 2.32 1.01\\nfilelen=") != std::string::npos) {
      output_fd = text.substr(call, text.find(',', call) + 1 - call);
    }
    if (!output_fd.empty() &&
        text.compare(call, output_fd.size(), output_fd) == 0 && ++blocks == 3) {
      return writes;
    }
  }
  ADD_FAILURE() << "the output has no third block:\n" << trace;
  return 0;
}

// Checks in strace's log that `sig` arrived after the header was written
// into a file without a name, and that the file was never named.
void ExpectUnnamedDuringTheCopy(const std::string& trace, const char* sig) {
  const auto created = trace.find("O_TMPFILE");
  const auto header = trace.find("\"WZR-RS-G54 2.32 1.01\\nfilelen=");
  // strace shows a SIGKILL only by its effect.
  const auto arrived =
      std::min(trace.find("--- " + std::string(sig) + " "),
               trace.find("+++ killed by " + std::string(sig)));
  ASSERT_NE(created, std::string::npos) << sig << "\n" << trace;
  ASSERT_NE(header, std::string::npos) << sig << "\n" << trace;
  ASSERT_NE(arrived, std::string::npos) << sig << "\n" << trace;
  EXPECT_LT(created, header) << sig << "\n" << trace;
  EXPECT_LT(header, arrived) << sig << "\n" << trace;
  EXPECT_EQ(trace.find(".tmp"), std::string::npos) << sig << "\n" << trace;
  EXPECT_EQ(trace.find("linkat("), std::string::npos) << sig << "\n" << trace;
  EXPECT_EQ(trace.find("rename("), std::string::npos) << sig << "\n" << trace;
}

// Checks in strace's log that `sig` arrived after the header was written,
// while the named temporary file existed, and that the handler removed it.
void ExpectNamedDuringTheCopy(const std::string& trace, const char* sig) {
  const auto created = trace.find("\"lk-buffalo-wzr-rs-g54.bin.tmp");
  const auto header = trace.find("\"WZR-RS-G54 2.32 1.01\\nfilelen=");
  const auto arrived = trace.find("--- " + std::string(sig) + " ");
  const auto removed = trace.find("unlink(\"lk-buffalo-wzr-rs-g54.bin.tmp");
  ASSERT_NE(created, std::string::npos) << sig << "\n" << trace;
  ASSERT_NE(arrived, std::string::npos) << sig << "\n" << trace;
  ASSERT_NE(removed, std::string::npos)
      << sig << ": no temporary file was removed\n"
      << trace;
  EXPECT_LT(created, header) << sig << "\n" << trace;
  EXPECT_LT(header, arrived) << sig << "\n" << trace;
  EXPECT_LT(arrived, removed) << sig << "\n" << trace;
  EXPECT_EQ(trace.find("rename("), std::string::npos) << sig << "\n" << trace;
}

struct Interrupt {
  const char* name;
  int number;
};

TEST_F(TagwrapTest, AnInterruptMidCopyLeavesNothingAndDiesByItsSignal) {
  REQUIRE_TOOL("strace");
  const std::string earlier = "earlier output";
  WriteFile(dir_ / kOutput, earlier);
  WriteImage(3000000);
  const Interrupt interrupts[] = {
      {"SIGINT", SIGINT},   {"SIGTERM", SIGTERM}, {"SIGHUP", SIGHUP},
      {"SIGQUIT", SIGQUIT}, {"SIGUSR1", SIGUSR1}, {"SIGALRM", SIGALRM},
      {"SIGKILL", SIGKILL},
  };
  RunOptions options;
  options.cwd = dir_.path();
  const int third_block = WriteOfThirdBlock("generic.bin", options);
  for (const auto& sig : interrupts) {
    WriteFile(dir_ / kOutput, earlier);
    std::string trace;
    const RunResult r = RunUnderStrace(
        "generic.bin", SignalAtWrite(sig.name, third_block), options, &trace);
    EXPECT_EQ(r.signal, sig.number) << sig.name << "\n" << r.err;
    EXPECT_EQ(r.out, Selected("wzr-rs-g54") + "input file size = 3000000\n")
        << sig.name;
    ExpectUnnamedDuringTheCopy(trace, sig.name);
    EXPECT_EQ(ReadFile(dir_ / kOutput), earlier) << sig.name;
    EXPECT_EQ(ListDir(dir_.path()), (Names{"generic.bin", kOutput}))
        << sig.name;
  }
}

TEST_F(TagwrapTest, OnAStickWithoutUnnamedFilesTheTemporaryFileIsRemoved) {
  REQUIRE_TOOL("strace");
  test::ExfatMount stick(4);
  REQUIRE_MOUNT(stick);
  const std::string earlier = "earlier output";
  RunOptions options;
  options.cwd = stick.path();
  const std::string input = ToolPath(dir_ / "generic.bin");

  // Replaced with exact bytes.
  const std::string image = WriteImage(1200000);
  WriteFile(stick / kOutput, earlier);
  RunResult r = test::RunTagwrap({input, "wzr-rs-g54"}, options);
  EXPECT_EQ(r.out, Success("wzr-rs-g54", 1200000));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(ReadFile(stick / kOutput) == Header(kHead, "1200000") + image);
  EXPECT_EQ(ListDir(stick.path()), Names{kOutput});

  // Interrupted in the middle of the copy; the stick has room for one image.
  std::filesystem::remove(stick / kOutput);
  const int third_block = WriteOfThirdBlock(input, options);
  const Interrupt interrupts[] = {{"SIGTERM", SIGTERM}, {"SIGQUIT", SIGQUIT}};
  for (const auto& sig : interrupts) {
    WriteFile(stick / kOutput, earlier);
    std::string trace;
    r = RunUnderStrace(input, SignalAtWrite(sig.name, third_block), options,
                       &trace);
    EXPECT_EQ(r.signal, sig.number) << sig.name << "\n" << r.err;
    ExpectNamedDuringTheCopy(trace, sig.name);
    EXPECT_EQ(ReadFile(stick / kOutput), earlier) << sig.name;
    EXPECT_EQ(ListDir(stick.path()), Names{kOutput}) << sig.name;
  }

  // The stick is full.
  WriteImage(9999999);
  r = test::RunTagwrap({input, "wzr-rs-g54"}, options);
  EXPECT_EQ(r.out,
            WriteFailed(9999999, "write failed: No space left on device"));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(ReadFile(stick / kOutput), earlier);
  EXPECT_EQ(ListDir(stick.path()), Names{kOutput});
}

TEST_F(TagwrapTest, AnIgnoredHangupStaysIgnored) {
  REQUIRE_TOOL("strace");
  test::ExfatMount stick(4);
  REQUIRE_MOUNT(stick);
  const std::string image = WriteImage(1200000);
  // Without a handler where the file has no name; with one on the stick.
  for (const auto& cwd : {dir_.path(), stick.path()}) {
    RunOptions options;
    options.cwd = cwd;
    options.ignored_signals = {SIGHUP};
    const std::string input = ToolPath(dir_ / "generic.bin");
    std::string trace;
    const RunResult r = RunUnderStrace(
        input, SignalAtWrite("SIGHUP", WriteOfThirdBlock(input, options)),
        options, &trace);
    EXPECT_NE(trace.find("--- SIGHUP "), std::string::npos) << trace;
    EXPECT_EQ(r.exit_code, 0) << cwd << "\n" << r.err;
    EXPECT_EQ(r.out, Success("wzr-rs-g54", 1200000)) << cwd;
    EXPECT_TRUE(ReadFile(cwd / kOutput) == Header(kHead, "1200000") + image)
        << cwd;
  }
}

TEST_F(TagwrapTest, AFileSizeLimitThatKillsTheRunLeavesNoTemporaryFile) {
  const std::string earlier = "earlier output";
  WriteFile(dir_ / kOutput, earlier);
  WriteImage(1000000);
  RunOptions options;
  options.file_size_limit = 500000;
  options.ignore_sigxfsz = false;
  const RunResult r = Run({"generic.bin", "wzr-rs-g54"}, options);
  EXPECT_EQ(r.signal, SIGXFSZ);
  EXPECT_EQ(ReadFile(dir_ / kOutput), earlier);
  EXPECT_EQ(ListDir(dir_.path()), (Names{"generic.bin", kOutput}));
}

// Returns the path of the `n`th file that strace's `trace` shows opened
// with O_CREAT (counting from 1), or "".
std::string CreatedName(const std::string& trace, int n) {
  for (const std::string& text : Lines(trace)) {
    if (text.find("O_CREAT") == std::string::npos) continue;
    if (--n > 0) continue;
    const auto open = text.find('"');
    return text.substr(open + 1, text.find('"', open + 1) - open - 1);
  }
  return "";
}

TEST_F(TagwrapTest, SystemCallFaultsGiveTheRightResult) {
  REQUIRE_TOOL("strace");
  const std::string image = WriteImage(600000);
  const std::string input = ToolPath(dir_ / "generic.bin");
  const std::string success = Success("wzr-rs-g54", 600000);
  const struct {
    const char* what;
    std::vector<std::string> strace_options;
    std::string out;
  } cases[] = {
      {"kernel copies refused",
       {"-e", "inject=copy_file_range,sendfile,splice:error=EPERM"},
       success},
      {"a read error",
       {"-P", input, "-e", "trace=read", "-e", "inject=read:error=EIO:when=2"},
       WriteFailed(600000, "cannot read the input file: Input/output error")},
      {"an input that cannot be opened",
       {"-P", input, "-e", "trace=openat", "-e", "inject=openat:error=EACCES"},
       Selected("wzr-rs-g54") + "file N/A - please select valid input file!\n"},
      {"a clash of temporary names",
       {"-e", kTraced, "-e", "inject=linkat:error=EEXIST:when=1"},
       success},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(dir_ / kOutput);
    RunOptions options;
    options.cwd = dir_.path();
    std::string trace;
    const RunResult r =
        RunUnderStrace(input, c.strace_options, options, &trace);
    EXPECT_EQ(r.out, c.out) << c.what << "\n" << trace;
    EXPECT_EQ(r.exit_code, c.out == success ? 0 : 1) << c.what;
    Names files = {"generic.bin"};
    if (c.out == success) {
      EXPECT_TRUE(ReadFile(dir_ / kOutput) ==
                  Header(kHead, "600000\0"s) + image)
          << c.what;
      files.push_back(kOutput);
    }
    EXPECT_EQ(ListDir(dir_.path()), files) << c.what;
  }
}

TEST_F(TagwrapTest, ANamedTemporaryFileIsCreatedAfreshAfterAClash) {
  REQUIRE_TOOL("strace");
  test::ExfatMount stick(4);
  REQUIRE_MOUNT(stick);
  const std::string image = WriteImage(5000);
  const std::string input = ToolPath(dir_ / "generic.bin");
  RunOptions options;
  options.cwd = stick.path();
  // Find which openat creates the temporary file, then make it clash.
  std::string trace;
  RunResult r = RunUnderStrace(input, {"-e", "trace=openat"}, options, &trace);
  ASSERT_EQ(r.exit_code, 0) << trace;
  int creates_at = 0;
  for (const std::string& text : Lines(trace)) {
    if (text.find("openat(") == std::string::npos) continue;
    ++creates_at;
    if (text.find("O_CREAT") != std::string::npos) break;
  }
  std::filesystem::remove(stick / kOutput);
  r = RunUnderStrace(
      input,
      {"-e", "trace=openat", "-e",
       "inject=openat:error=EEXIST:when=" + std::to_string(creates_at)},
      options, &trace);
  EXPECT_EQ(r.out, Success("wzr-rs-g54", 5000)) << trace;
  const std::string first = CreatedName(trace, 1);
  const std::string second = CreatedName(trace, 2);
  EXPECT_EQ(first.rfind("lk-buffalo-wzr-rs-g54.bin.tmp", 0), 0U) << trace;
  EXPECT_EQ(second.rfind("lk-buffalo-wzr-rs-g54.bin.tmp", 0), 0U) << trace;
  EXPECT_NE(first, second) << trace;
  // Exclusive, so that no file or link planted at the name is reused.
  EXPECT_EQ(trace.find("O_EXCL"), trace.find("O_CREAT") + 8) << trace;
  EXPECT_TRUE(ReadFile(stick / kOutput) ==
              Header(kHead, "5000\0\0\0"s) + image);
  EXPECT_EQ(ListDir(stick.path()), Names{kOutput});
}

TEST_F(TagwrapTest, RefusesAnInputHoldingMoreThanItsSizeStates) {
  // /proc files state a size of 0 whatever they hold; this one begins with
  // the magic when the environment does.
  RunOptions options;
  options.cwd = dir_.path();
  options.wrapper = {"env", "-i", "HDR0=1"};
  const RunResult r =
      test::RunTagwrap({"/proc/self/environ", "wzr-rs-g54"}, options);
  EXPECT_EQ(r.out, WriteFailed(0,
                               "the input file holds more than the 0 bytes "
                               "its size states"));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(ListDir(dir_.path()), Names{});
}
#endif

// The outcome a run must have, worked out independently of the tool.
struct Expected {
  int exit_code;
  std::string out;
  std::string output;  // the bytes of the output file when one is written
};

Expected Predict(const std::string& input, const std::string& key) {
  const std::string size = std::to_string(input.size());
  std::string out = Selected(key);
  if (input.compare(0, 4, "HDR0") != 0) {
    return {1, out + "Input file is invalid, please use generic.bin file\n",
            ""};
  }
  const auto* const head = std::find_if(
      std::begin(test::kExpectedModels), std::end(test::kExpectedModels),
      [&key](const auto& model) { return model.key == key; });
  if (head == std::end(test::kExpectedModels)) {
    return {1, out + "unknown model " + key + " - please select valid model!\n",
            ""};
  }
  out += "input file size = " + size + "\n";
  if (size.size() > 7) {
    return {1,
            out +
                "input file too large - the header's 7-digit length field "
                "holds at most 9999999 bytes!\n",
            ""};
  }
  std::string field = size;
  field.resize(7, '\0');
  return {
      0,
      out + "File lk-buffalo-" + key + ".bin written with added Buffalo header",
      Header(head->head, field) + input};
}

TEST_F(TagwrapTest, RandomImagesAndKeysGiveExactlyThePredictedResult) {
  std::mt19937 random(20261211);
  auto uniform = [&random](std::size_t low, std::size_t high) {
    return std::uniform_int_distribution<std::size_t>(low, high)(random);
  };
  for (int run = 0; run < 400; ++run) {
    // Sizes: 0 to 5 bytes, or a random size of 1 to 8 digits; eight-digit
    // ones only now and then, being slow to make.
    std::size_t size = uniform(0, 5);
    if (uniform(0, 3) != 0) {
      std::size_t digits = uniform(1, 7);
      if (uniform(0, 19) == 0) digits = 8;
      std::size_t low = 1;
      for (std::size_t d = 1; d < digits; ++d) low *= 10;
      size = digits == 8 ? uniform(low, low + 1000)
                         : uniform(low == 1 ? 0 : low, low * 10 - 1);
      if (digits == 7 && uniform(0, 3) != 0) size = uniform(low, low + 99999);
    }
    std::string input(size, '\0');
    for (char& c : input) c = static_cast<char>(uniform(0, 255));
    if (uniform(0, 3) != 0) {
      input.replace(0, std::min<std::size_t>(4, size), "HDR0", 0,
                    std::min<std::size_t>(4, size));
    }
    if (uniform(0, 9) == 0 && size >= 4) {
      char& c = input[uniform(0, 3)];
      c = static_cast<char>(static_cast<unsigned char>(c) ^
                            (1U << uniform(0, 7)));
    }

    std::string key(
        test::kExpectedModels[uniform(0, std::size(test::kExpectedModels) - 1)]
            .key);
    switch (uniform(0, 6)) {
      case 0:
        key[uniform(0, key.size() - 1)] ^= 0x20;  // one letter's case
        break;
      case 1:
        key.erase(uniform(0, key.size() - 1), 1);
        break;
      case 2:
        key.insert(uniform(0, key.size()), 1, "-%s 0\t"[uniform(0, 5)]);
        break;
      default:
        break;
    }

    const std::string earlier = "earlier " + std::to_string(run);
    // An earlier output only where the key makes a name every file system
    // takes.
    const bool has_earlier =
        uniform(0, 2) == 0 &&
        key.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") ==
            std::string::npos;
    const std::string output = "lk-buffalo-" + key + ".bin";
    for (const auto& name : ListDir(dir_.path())) {
      std::filesystem::remove(dir_ / name);
    }
    WriteFile(dir_ / "generic.bin", input);
    if (has_earlier) WriteFile(dir_ / output, earlier);

    const Expected expected = Predict(input, key);
    const RunResult r = Run({"generic.bin", key});
    const std::string what = "run " + std::to_string(run) + ": " +
                             std::to_string(size) + " bytes, key \"" + key +
                             "\"";
    ASSERT_EQ(r.exit_code, expected.exit_code) << what;
    ASSERT_EQ(r.out, expected.out) << what;
    ASSERT_EQ(r.err, "") << what;
    Names files = {"generic.bin"};
    if (expected.exit_code == 0 || has_earlier) files.push_back(output);
    std::sort(files.begin(), files.end());
    ASSERT_EQ(ListDir(dir_.path()), files) << what;
    if (expected.exit_code == 0) {
      ASSERT_TRUE(ReadFile(dir_ / output) == expected.output) << what;
    } else if (has_earlier) {
      ASSERT_EQ(ReadFile(dir_ / output), earlier) << what;
    }
  }
}

TEST_F(TagwrapTest, EveryPrefixOfAValidImageGivesThePredictedResult) {
  const std::string image = MakeImage(40, 7);
  for (std::size_t length = 0; length <= image.size(); ++length) {
    const std::string input = image.substr(0, length);
    WriteFile(dir_ / "generic.bin", input);
    const Expected expected = Predict(input, "wbr2-g54s");
    const RunResult r = Run({"generic.bin", "wbr2-g54s"});
    EXPECT_EQ(r.exit_code, expected.exit_code) << length;
    EXPECT_EQ(r.out, expected.out) << length;
    const std::string output = "lk-buffalo-wbr2-g54s.bin";
    if (expected.exit_code == 0) {
      EXPECT_TRUE(ReadFile(dir_ / output) == expected.output) << length;
      std::filesystem::remove(dir_ / output);
    }
    EXPECT_EQ(ListDir(dir_.path()), Names{"generic.bin"}) << length;
  }
}

// A TRX v1 header: magic, total length, CRC-32 of everything after the CRC
// field, flags and version, three partition offsets; all little-endian.
std::uint32_t LittleEndian32(std::string_view bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value |= static_cast<std::uint32_t>(
                 static_cast<unsigned char>(bytes[offset + i]))
             << (8 * i);
  }
  return value;
}

std::uint32_t TrxCrc(std::string_view bytes) {
  std::uint32_t crc = 0xffffffff;
  for (const char c : bytes) {
    crc ^= static_cast<unsigned char>(c);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc >> 1) ^ (0xedb88320U & (0U - (crc & 1U)));
    }
  }
  return crc;  // the TRX checksum is not inverted at the end
}

TEST_F(TagwrapTest, TagsTheShippedSampleImage) {
  const std::string sample = ReadFile(TAGWRAP_SAMPLE);
  ASSERT_GE(sample.size(), 28U);
  EXPECT_EQ(sample.substr(0, 4), "HDR0");
  EXPECT_EQ(LittleEndian32(sample, 4), sample.size());
  EXPECT_EQ(LittleEndian32(sample, 8), TrxCrc(sample.substr(12)));
  EXPECT_EQ(LittleEndian32(sample, 12) >> 16, 1U);

  const RunResult r = Run({ToolPath(TAGWRAP_SAMPLE), "wla-g54"});
  EXPECT_EQ(r.out,
            Success("wla-g54", static_cast<std::int64_t>(sample.size())));
  EXPECT_EQ(r.exit_code, 0);
  const std::string written = ReadFile(dir_ / "lk-buffalo-wla-g54.bin");
  EXPECT_TRUE(written.substr(0, 17) == "WLA-G54 2.05 1.02");
  EXPECT_TRUE(written.substr(34) == sample);
}

}  // namespace
