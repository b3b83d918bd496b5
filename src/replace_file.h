// SPDX-License-Identifier: MIT
// Writes a file that takes the place of another only once it is complete.
#ifndef TAGWRAP_REPLACE_FILE_H_
#define TAGWRAP_REPLACE_FILE_H_

#include <cstdint>
#include <random>
#include <string>

#include "output_file.h"

// A new file written beside the file it is to replace, which stays
// untouched until Commit renames the new one over it. However the run ends
// before that, the new file goes with it: on Linux it has no name until
// Commit; where the file system cannot hold an unnamed file, it has a
// temporary name that Discard, the destructor and every signal that ends
// the run by default remove (a SIGKILL cannot be caught, and leaves it); on
// Windows it is marked for deletion until Commit. A process writes at most
// one at a time.
class ReplacementFile final : public OutputFile {
 public:
  ReplacementFile();
  ~ReplacementFile();

  // Creates the new file beside `path`, with the permissions that a plain
  // create of `path` would give. Returns false and says why in `error` when
  // it cannot be created.
  bool Create(const std::string& path, std::string* error);

  // Writes out the rest, closes the new file and renames it over the target.
  // On failure returns false, says why in `error` and removes the new file.
  bool Commit(std::string* error);

  // Closes and removes the new file, if there is one.
  void Discard();

 private:
  // The platform's part, in replace_file_posix.cpp or replace_file_win32.cpp.

  bool WriteOut(const char* data, std::size_t size,
                std::string* error) override;
  bool Reserve(std::int64_t size, std::string* error) override;

  // Creates the new file for path_. Returns false with the reason in
  // `error` when it cannot.
  bool CreateTemp(std::string* error);

  // Closes the new file and renames it over path_. Returns false, with the
  // whole message in `error`, and removes it when either fails.
  bool RenameTemp(std::string* error);

  // Closes and removes the new file.
  void DeleteTemp();

  // Returns a fresh temporary name beside path_.
  std::string NextTempName();

  // How many temporary names to try before giving up on a clash.
  static constexpr int kNameAttempts = 100;

  std::string path_;
  std::string temp_;  // the new file's name, while it has one
  // The new file while it is open: a descriptor, or a Windows handle.
  std::intptr_t file_ = -1;
  std::minstd_rand random_;
};

#endif  // TAGWRAP_REPLACE_FILE_H_
