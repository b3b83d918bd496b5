// SPDX-License-Identifier: MIT
// Gathering appends into whole blocks, and reading the input straight into
// them.
#include "output_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

// Reads come in whole pages, so that the C library passes them straight to
// the system instead of through its own buffer, and each starts at the
// input offset that ends the block before. The buffer has a page to spare
// beyond a block, so that such a read still fills one.
constexpr std::size_t kPage = 4096;
constexpr std::size_t kCapacity = OutputFile::kBlockSize + kPage;

}  // namespace

std::string SystemError(const char* what, int err) {
  std::string message = what;
  message += ": ";
  // errno 0 would read "Success", which no failure message may say.
  message += err != 0 ? std::strerror(err) : "unknown error";
  return message;
}

// Not zeroed: a page is touched only once a byte lands in it. Aligned to a
// page, which makes the system's copies to and from it measurably faster.
OutputFile::OutputFile() : storage_(new char[kCapacity + kPage]) {
  const auto misalignment =
      reinterpret_cast<std::uintptr_t>(storage_.get()) % kPage;
  buf_ = storage_.get() + (misalignment == 0 ? 0 : kPage - misalignment);
}

OutputFile::~OutputFile() = default;

bool OutputFile::Reserve(std::int64_t /*size*/, std::string* /*error*/) {
  return true;
}

bool OutputFile::Write(const char* data, std::size_t size, std::string* error) {
  while (size > 0) {
    const std::size_t n = std::min(size, kCapacity - fill_);
    std::memcpy(buf_ + fill_, data, n);
    fill_ += n;
    data += n;
    size -= n;
    if (fill_ >= kBlockSize && !WriteWholeBlocks(error)) return false;
  }
  return true;
}

bool OutputFile::CopyFrom(std::FILE* infile, std::int64_t size,
                          std::int64_t* copied, std::string* error) {
  *copied = 0;
  if (!Reserve(written_ + static_cast<std::int64_t>(fill_) + size, error)) {
    return false;
  }
  while (*copied < size) {
    std::size_t room = kCapacity - fill_;
    if (room >= kPage) room -= room % kPage;
    const auto want = static_cast<std::size_t>(std::min<std::int64_t>(
        size - *copied, static_cast<std::int64_t>(room)));
    errno = 0;
    const std::size_t got = std::fread(buf_ + fill_, 1, want, infile);
    fill_ += got;
    *copied += static_cast<std::int64_t>(got);
    if (got < want && std::ferror(infile) != 0) {
      *error = SystemError("cannot read the input file", errno);
      return false;
    }
    if (fill_ >= kBlockSize && !WriteWholeBlocks(error)) return false;
    if (got < want) break;  // the input ended
  }
  return true;
}

bool OutputFile::Flush(std::string* error) {
  if (fill_ == 0) return true;
  if (!WriteOut(buf_, fill_, error)) return false;
  written_ += static_cast<std::int64_t>(fill_);
  fill_ = 0;
  return true;
}

bool OutputFile::WriteWholeBlocks(std::string* error) {
  const std::size_t whole = fill_ - fill_ % kBlockSize;
  if (!WriteOut(buf_, whole, error)) return false;
  written_ += static_cast<std::int64_t>(whole);
  fill_ -= whole;
  std::memmove(buf_, buf_ + whole, fill_);
  return true;
}
