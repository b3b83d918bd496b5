// SPDX-License-Identifier: MIT
// Writes a file that takes the place of another only once it is complete.
#ifndef TAGWRAP_REPLACE_FILE_H_
#define TAGWRAP_REPLACE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "output_file.h"

// A new file written under a temporary name beside the file it is to
// replace. An earlier file of that name stays untouched until Commit renames
// the new one over it. The temporary file is removed by Discard, when the
// object is destroyed uncommitted, and when SIGINT, SIGTERM, SIGHUP or a
// file-size limit (SIGXFSZ) ends the run; on Windows, Ctrl+C, Ctrl+Break and
// SIGTERM. A process writes at most one at a time.
class ReplacementFile final : public OutputFile {
 public:
  ReplacementFile() = default;
  ~ReplacementFile();

  // Creates the temporary file beside `path`, with the permissions that a
  // plain create of `path` would give. Returns false and says why in `error`
  // when it cannot be created.
  bool Create(const std::string& path, std::string* error);

  bool Write(const char* data, std::size_t size, std::string* error) override;

  // Lets the kernel copy where it can, and copies through memory elsewhere.
  bool CopyFrom(std::FILE* infile, std::int64_t size, std::int64_t* copied,
                std::string* error) override;

  // Closes the temporary file and renames it over the target. On failure
  // returns false, says why in `error` and removes the temporary file.
  bool Commit(std::string* error);

  // Closes and removes the temporary file, if there is one.
  void Discard();

 private:
  // The platform's part, in replace_file_posix.cpp or replace_file_win32.cpp.

  // Creates the new file `temp` for writing and makes the cleanup signals
  // remove it. Returns its descriptor, or -1 with the reason in `error` and,
  // in `exists`, whether a file of that name was there already.
  static int CreateTemp(const std::string& temp, bool* exists,
                        std::string* error);

  // Closes `fd`, which some file systems take to report a failed write.
  static bool CloseTemp(int fd, std::string* error);

  // Renames `temp` over `path`, or removes it when `path` is null or the
  // rename fails, and stops the cleanup signals from removing it. Returns
  // whether it was renamed.
  static bool FinishTemp(const std::string& temp, const std::string* path,
                         std::string* error);

  std::string path_;
  std::string temp_;
  int fd_ = -1;  // the temporary file's, while it is open
};

#endif  // TAGWRAP_REPLACE_FILE_H_
