// SPDX-License-Identifier: MIT
// The file an image is written into, one append after another.
#ifndef TAGWRAP_OUTPUT_FILE_H_
#define TAGWRAP_OUTPUT_FILE_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// An output that is only ever appended to. The tool writes into a file that
// replaces its target once complete; tests write into memory.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Appends the `size` bytes at `data`. Returns false and says why in
  // `error` when they could not all be written.
  virtual bool Write(const char* data, std::size_t size,
                     std::string* error) = 0;

  // Appends up to `size` bytes read from `infile` at its position and leaves
  // `infile` after them. Sets `copied` to their number, which is less than
  // `size` only where `infile` ended. Returns false and says why in `error`
  // on a read or write error. This one copies through memory, block by block.
  virtual bool CopyFrom(std::FILE* infile, std::int64_t size,
                        std::int64_t* copied, std::string* error);

 protected:
  ~OutputFile() = default;
};

// Returns "<what>: <the system's reason for errno value `err`>".
std::string SystemError(const char* what, int err);

#endif  // TAGWRAP_OUTPUT_FILE_H_
