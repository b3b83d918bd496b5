// SPDX-License-Identifier: MIT
// The steps of replacing a file that every platform shares: temporary
// names, the commit and the discard.
#include "replace_file.h"

#include <chrono>

ReplacementFile::ReplacementFile()
    // Time and an address tell concurrent runs apart well enough; a clash
    // only costs another try.
    : random_(static_cast<std::minstd_rand::result_type>(
          std::chrono::steady_clock::now().time_since_epoch().count() ^
          static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(this)))) {}

ReplacementFile::~ReplacementFile() { Discard(); }

bool ReplacementFile::Create(const std::string& path, std::string* error) {
  path_ = path;
  std::string reason;
  if (CreateTemp(&reason)) return true;
  *error = "cannot create a temporary file: " + reason;
  return false;
}

bool ReplacementFile::Commit(std::string* error) {
  if (!Flush(error)) {
    Discard();
    return false;
  }
  return RenameTemp(error);
}

void ReplacementFile::Discard() {
  DropBuffered();
  DeleteTemp();
}

std::string ReplacementFile::NextTempName() {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
  std::string temp = path_ + ".tmp";
  for (int i = 0; i < 6; ++i) temp += kLetters[pick(random_)];
  return temp;
}
