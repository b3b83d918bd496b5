// SPDX-License-Identifier: MIT
// Copying into an output through memory, for outputs that have nothing faster.
#include "output_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr std::size_t kCopyBlockSize = std::size_t{64} * 1024;

}  // namespace

std::string SystemError(const char* what, int err) {
  std::string message = what;
  message += ": ";
  // errno 0 would read "Success", which no failure message may say.
  message += err != 0 ? std::strerror(err) : "unknown error";
  return message;
}

bool OutputFile::CopyFrom(std::FILE* infile, std::int64_t size,
                          std::int64_t* copied, std::string* error) {
  // Static so that memory stays flat and the stack small.
  static char buf[kCopyBlockSize];
  *copied = 0;
  while (*copied < size) {
    const auto want = static_cast<std::size_t>(
        std::min<std::int64_t>(size - *copied, kCopyBlockSize));
    errno = 0;
    const std::size_t got = std::fread(buf, 1, want, infile);
    if (got < want && std::ferror(infile) != 0) {
      *error = SystemError("cannot read the input file", errno);
      return false;
    }
    if (!Write(buf, got, error)) return false;
    *copied += static_cast<std::int64_t>(got);
    if (got < want) break;
  }
  return true;
}
