// SPDX-License-Identifier: MIT
// The file an image is written into, one append after another, in whole
// blocks.
#ifndef TAGWRAP_OUTPUT_FILE_H_
#define TAGWRAP_OUTPUT_FILE_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// An output that is only ever appended to. Appends gather in one buffer that
// goes out in whole blocks from the file's first byte, so that only the last
// write may be short. The tool writes into a file that replaces its target
// once complete; tests write into memory.
class OutputFile {
 public:
  // The size of every write but the last.
  static constexpr std::size_t kBlockSize = std::size_t{512} * 1024;

  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Appends the `size` bytes at `data`. Returns false and says why in
  // `error` when they could not all be written.
  bool Write(const char* data, std::size_t size, std::string* error);

  // Appends up to `size` bytes read from `infile` at its position, straight
  // into the buffer, and leaves `infile` after them. Sets `copied` to their
  // number, which is less than `size` only where `infile` ended. Returns
  // false and says why in `error` on a read or write error.
  bool CopyFrom(std::FILE* infile, std::int64_t size, std::int64_t* copied,
                std::string* error);

  // Writes out what the buffer still holds. Returns false and says why in
  // `error` when it could not all be written.
  bool Flush(std::string* error);

 protected:
  OutputFile();
  ~OutputFile();

  // Drops what the buffer holds, for an output that is given up.
  void DropBuffered() { fill_ = 0; }

 private:
  // Writes all `size` bytes at `data` at the end of the file. Returns false
  // and says why in `error` otherwise.
  virtual bool WriteOut(const char* data, std::size_t size,
                        std::string* error) = 0;

  // Sets space aside for the file to reach `size` bytes, so that a full disk
  // shows at once. Returns false and says why in `error` when there is no
  // room; an output that cannot set space aside does nothing.
  virtual bool Reserve(std::int64_t size, std::string* error);

  // Writes out the whole blocks at the front of the buffer and moves what
  // is left over to its start.
  bool WriteWholeBlocks(std::string* error);

  std::unique_ptr<char[]> storage_;
  char* buf_ = nullptr;       // within storage_, at a page boundary
  std::size_t fill_ = 0;      // bytes waiting in buf_
  std::int64_t written_ = 0;  // bytes written out before them
};

// Returns "<what>: <the system's reason for errno value `err`>".
std::string SystemError(const char* what, int err);

#endif  // TAGWRAP_OUTPUT_FILE_H_
