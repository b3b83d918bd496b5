// SPDX-License-Identifier: MIT
// Tests of appending to an output: whole blocks from the first byte, exact
// bytes, and reading the input from where its stream is.
#include "output_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "test_util.h"

namespace {

using test::MakeImage;
using test::MemoryOutput;
using test::ScratchDir;
using test::WriteFile;

constexpr std::size_t kBlock = OutputFile::kBlockSize;

struct FileCloser {
  void operator()(std::FILE* file) const { (void)std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

TEST(OutputFileTest, WritesWholeBlocksFromTheFirstByteAndOnlyTheLastShort) {
  ScratchDir dir;
  const struct {
    std::size_t head;   // bytes appended before the copy
    std::size_t input;  // bytes copied from the input
  } cases[] = {
      {0, 0},        {37, 0},           {37, 1},
      {37, 4096},    {34, kBlock - 34}, {40, kBlock - 39},
      {37, kBlock},  {0, 3 * kBlock},   {37, 3 * kBlock + 17},
      {23, 9999999}, {kBlock + 5, 100},
  };
  for (const auto& c : cases) {
    const std::string what =
        std::to_string(c.head) + " + " + std::to_string(c.input);
    const std::string head = MakeImage(c.head, 9);
    const std::string input = MakeImage(c.input, 10);
    WriteFile(dir / "input", input);
    File infile(std::fopen((dir / "input").string().c_str(), "rb"));
    ASSERT_TRUE(infile);
    MemoryOutput outfile;
    std::string error;
    std::int64_t copied = -1;
    ASSERT_TRUE(outfile.Write(head.data(), head.size(), &error)) << what;
    ASSERT_TRUE(outfile.CopyFrom(
        infile.get(), static_cast<std::int64_t>(c.input), &copied, &error))
        << what << ": " << error;
    ASSERT_TRUE(outfile.Flush(&error)) << what << ": " << error;
    EXPECT_EQ(copied, static_cast<std::int64_t>(c.input)) << what;
    EXPECT_TRUE(outfile.bytes() == head + input) << what;
    const auto& writes = outfile.writes();
    for (std::size_t i = 0; i + 1 < writes.size(); ++i) {
      EXPECT_EQ(writes[i], kBlock) << what << ", write " << i;
    }
    if (!writes.empty()) {
      EXPECT_GT(writes.back(), 0U) << what;
      EXPECT_LE(writes.back(), kBlock) << what;
    }
    EXPECT_EQ(writes.size(), (c.head + c.input + kBlock - 1) / kBlock) << what;
  }
}

TEST(OutputFileTest, CopiesFromWhereTheStreamIsAndLeavesItAfterward) {
  ScratchDir dir;
  const std::string input = MakeImage(1300000);
  WriteFile(dir / "input", input);
  const struct {
    std::int64_t size;
    std::int64_t copied;
    int next;  // the byte the stream gives afterwards
  } cases[] = {
      {200000, 200000, static_cast<unsigned char>(input[200004])},
      {1100000, 1100000, static_cast<unsigned char>(input[1100004])},
      {1299996, 1299996, EOF},
      {1400000, 1299996, EOF},
  };
  for (const auto& c : cases) {
    File infile(std::fopen((dir / "input").string().c_str(), "rb"));
    ASSERT_TRUE(infile);
    // Reading the magic fills the stream's buffer well past it.
    for (int i = 0; i < 4; ++i) (void)std::fgetc(infile.get());
    MemoryOutput outfile;
    std::string error;
    std::int64_t copied = -1;
    ASSERT_TRUE(outfile.Write("head", 4, &error));
    ASSERT_TRUE(outfile.CopyFrom(infile.get(), c.size, &copied, &error))
        << c.size << ": " << error;
    ASSERT_TRUE(outfile.Flush(&error)) << error;
    EXPECT_EQ(copied, c.copied) << c.size;
    EXPECT_EQ(std::fgetc(infile.get()), c.next) << c.size;
    EXPECT_TRUE(outfile.bytes() ==
                "head" + input.substr(4, static_cast<std::size_t>(c.copied)))
        << c.size;
  }
}

}  // namespace
