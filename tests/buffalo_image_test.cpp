// SPDX-License-Identifier: MIT
// Tests of the magic check, the sizes, the output name and the image writer.
#include "buffalo_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "test_util.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/types.h>
#endif

namespace {

using test::Header;
using test::MakeImage;
using test::MemoryOutput;
using test::ScratchDir;
using test::WriteFile;

using namespace std::string_literals;
using namespace std::string_view_literals;

constexpr char kHead[] = "WZR-RS-G54 2.32 1.01";

struct FileCloser {
  void operator()(std::FILE* file) const { (void)std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Writes `bytes` to the file "input" in `dir` and opens it for reading.
File OpenBytes(const ScratchDir& dir, std::string_view bytes) {
  const auto path = dir / "input";
  WriteFile(path, bytes);
  return File(std::fopen(path.string().c_str(), "rb"));
}

LengthField Field(std::int64_t size) {
  LengthField fsize{};
  EXPECT_TRUE(MakeLengthField(size, &fsize)) << size;
  return fsize;
}

TEST(CheckImageMagicTest, AcceptsOnlyTheExactMagicAndStopsAtTheFirstMismatch) {
  const struct {
    std::string_view bytes;
    bool valid;
    long bytes_read;
  } cases[] = {
      {"HDR0", true, 4},      {"HDR0\x01\x1c\x00\x00", true, 4},
      {"", false, 0},         {"H", false, 1},
      {"HDR", false, 3},      {"hdr0", false, 1},
      {"HDr0", false, 3},     {"HDR1", false, 4},
      {"HXR0", false, 2},     {"xHDR0", false, 1},
      {"\0HDR0"sv, false, 1}, {"0RDH", false, 1},
  };
  ScratchDir dir;
  for (const auto& c : cases) {
    File infile = OpenBytes(dir, c.bytes);
    ASSERT_TRUE(infile);
    EXPECT_EQ(CheckImageMagic(infile.get()), c.valid) << '"' << c.bytes << '"';
    EXPECT_EQ(std::ftell(infile.get()), c.bytes_read) << '"' << c.bytes << '"';
  }
}

TEST(MakeLengthFieldTest, WritesDigitsThenZeroBytes) {
  const struct {
    std::int64_t size;
    std::string_view field;
  } cases[] = {
      {0, "0\0\0\0\0\0\0"sv}, {4, "4\0\0\0\0\0\0"sv}, {9, "9\0\0\0\0\0\0"sv},
      {10, "10\0\0\0\0\0"sv}, {99999, "99999\0\0"sv}, {100000, "100000\0"sv},
      {999999, "999999\0"sv}, {1000000, "1000000"},   {1234567, "1234567"},
      {9999999, "9999999"},
  };
  for (const auto& c : cases) {
    LengthField fsize;
    fsize.fill('x');
    ASSERT_TRUE(MakeLengthField(c.size, &fsize)) << c.size;
    EXPECT_EQ(std::string_view(fsize.data(), fsize.size()), c.field) << c.size;
  }
}

TEST(MakeLengthFieldTest, RefusesSizesThatDoNotFit) {
  const std::int64_t sizes[] = {kMaxImageSize + 1,
                                12345678,
                                5LL << 30,
                                std::numeric_limits<std::int64_t>::max(),
                                -1,
                                std::numeric_limits<std::int64_t>::min()};
  for (std::int64_t size : sizes) {
    LengthField fsize;
    fsize.fill('x');
    EXPECT_FALSE(MakeLengthField(size, &fsize)) << size;
    EXPECT_EQ(std::string_view(fsize.data(), fsize.size()), "\0\0\0\0\0\0\0"s)
        << size;
  }
}

TEST(MakeOutputNameTest, PutsTheKeyIntoTheName) {
  EXPECT_EQ(MakeOutputName("wzr-rs-g54"), "lk-buffalo-wzr-rs-g54.bin");
  EXPECT_EQ(MakeOutputName("wli-tx4-g54hp"), "lk-buffalo-wli-tx4-g54hp.bin");
  EXPECT_EQ(MakeOutputName("wli-tx4-g54hp").size(), 28U);
}

TEST(FileSizeTest, MeasuresRegularFilesOnly) {
  ScratchDir dir;
  WriteFile(dir / "image", MakeImage(12345));
  WriteFile(dir / "empty", "");
  std::int64_t size = -1;
  EXPECT_EQ(FileSize((dir / "image").string().c_str(), &size), SizeStatus::kOk);
  EXPECT_EQ(size, 12345);
  EXPECT_EQ(FileSize((dir / "empty").string().c_str(), &size), SizeStatus::kOk);
  EXPECT_EQ(size, 0);

  size = -1;
  EXPECT_EQ(FileSize((dir / "absent").string().c_str(), &size),
            SizeStatus::kNoFile);
  EXPECT_EQ(FileSize("", &size), SizeStatus::kNoFile);
  EXPECT_EQ(FileSize((dir / "image/x").string().c_str(), &size),
            SizeStatus::kNoFile);
  EXPECT_EQ(FileSize(dir.path().string().c_str(), &size),
            SizeStatus::kNotRegular);
  EXPECT_EQ(size, -1);
}

#ifdef _WIN32
TEST(FileSizeTest, RefusesDevicesAndFifos) {
  SKIP_ON_WINDOWS("no fifos or /dev devices");
}
#else
TEST(FileSizeTest, RefusesDevicesAndFifos) {
  ScratchDir dir;
  std::int64_t size = -1;
  EXPECT_EQ(FileSize("/dev/null", &size), SizeStatus::kNotRegular);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(FileSize((dir / "fifo").c_str(), &size), SizeStatus::kNotRegular);
  EXPECT_EQ(size, -1);
}
#endif

TEST(FileSizeTest, MeasuresPastFourGigabytes) {
  ScratchDir dir;
  const auto path = dir / "sparse";
  WriteFile(path, "HDR0");
  const std::int64_t big = (5LL << 30) + 3;
  std::filesystem::resize_file(path, static_cast<std::uintmax_t>(big));
  std::int64_t size = 0;
  EXPECT_EQ(FileSize(path.string().c_str(), &size), SizeStatus::kOk);
  EXPECT_EQ(size, big);
}

class WriteBuffaloImageTest : public testing::Test {
 protected:
  // Writes the image for `input` claiming `size` bytes into `outfile`;
  // returns whether that worked.
  bool Write(std::string_view input, std::int64_t size, MemoryOutput* outfile,
             std::string* error) {
    File infile = OpenBytes(dir_, input);
    return WriteBuffaloImage(*outfile, kHead, Field(size), infile.get(), size,
                             error) &&
           outfile->Flush(error);
  }

  ScratchDir dir_;
};

TEST_F(WriteBuffaloImageTest, WritesHeaderThenTheWholeInput) {
  const std::int64_t sizes[] = {4,      5, 99999, 65536, 65537, 3 * 65536 + 17,
                                1000000};
  for (std::int64_t size : sizes) {
    const std::string input =
        MakeImage(static_cast<std::size_t>(size), static_cast<unsigned>(size));
    MemoryOutput outfile;
    std::string error;
    ASSERT_TRUE(Write(input, size, &outfile, &error)) << size << ": " << error;
    LengthField fsize = Field(size);
    EXPECT_TRUE(outfile.bytes() ==
                Header(kHead, std::string_view(fsize.data(), 7)) + input)
        << size;
  }
}

TEST_F(WriteBuffaloImageTest, WritesEveryByteValueUnchanged) {
  std::string input = "HDR0";
  for (int repeat = 0; repeat < 3; ++repeat) {
    for (int b = 0; b < 256; ++b) input += static_cast<char>(b);
  }
  input += "\r\n\x1a\n\r\0"s;
  MemoryOutput outfile;
  std::string error;
  ASSERT_TRUE(
      Write(input, static_cast<std::int64_t>(input.size()), &outfile, &error))
      << error;
  EXPECT_TRUE(outfile.bytes() == Header(kHead, "778\0\0\0\0"s) + input);
}

TEST_F(WriteBuffaloImageTest, FailsWhenTheInputIsNotTheMeasuredSize) {
  const struct {
    std::size_t actual;
    std::int64_t claimed;
    std::string_view error;
  } cases[] = {
      {10, 11,
       "the input file ended after 10 of 11 bytes (it changed while being "
       "read)"},
      {4, 200000,
       "the input file ended after 4 of 200000 bytes (it changed while being "
       "read)"},
      {200000, 100000,
       "the input file holds more than the 100000 bytes its size states"},
      {5, 4, "the input file holds more than the 4 bytes its size states"},
      {5, 0, "the input file holds more than the 0 bytes its size states"},
  };
  for (const auto& c : cases) {
    MemoryOutput outfile;
    std::string error;
    EXPECT_FALSE(Write(MakeImage(c.actual), c.claimed, &outfile, &error))
        << c.actual << " vs " << c.claimed;
    EXPECT_EQ(error, c.error) << c.actual << " vs " << c.claimed;
  }
}

TEST_F(WriteBuffaloImageTest, ReportsAReadError) {
  SKIP_ON_WINDOWS("a directory cannot be opened as a file");
  // Reading a directory fails with EISDIR on Linux: a real read error.
  File infile(std::fopen(dir_.path().string().c_str(), "rb"));
  ASSERT_TRUE(infile);
  MemoryOutput outfile;
  std::string error;
  EXPECT_FALSE(
      WriteBuffaloImage(outfile, kHead, Field(100), infile.get(), 100, &error));
  EXPECT_EQ(error, "cannot read the input file: Is a directory");
}

TEST_F(WriteBuffaloImageTest, StopsWhereTheOutputFails) {
  const std::string input = MakeImage(1500000);
  const std::size_t capacities[] = {0,
                                    10,
                                    36,
                                    37,
                                    38,
                                    OutputFile::kBlockSize - 1,
                                    OutputFile::kBlockSize,
                                    OutputFile::kBlockSize + 1,
                                    1500036};
  for (std::size_t capacity : capacities) {
    MemoryOutput outfile(capacity);
    std::string error;
    EXPECT_FALSE(Write(input, 1500000, &outfile, &error)) << capacity;
    EXPECT_EQ(error, "write failed: No space left on device") << capacity;
    EXPECT_EQ(outfile.bytes().size(), capacity);
  }
}

}  // namespace
