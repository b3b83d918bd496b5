// SPDX-License-Identifier: MIT
// The steps of replacing a file: a fresh temporary name, the commit and the
// discard.
#include "replace_file.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <random>
#include <utility>

namespace {

constexpr char kCannotCreateTemp[] = "cannot create a temporary file";

}  // namespace

ReplacementFile::~ReplacementFile() { Discard(); }

bool ReplacementFile::Create(const std::string& path, std::string* error) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  // Time and an address tell concurrent runs apart well enough; a clash
  // only costs another try.
  std::minstd_rand random(static_cast<std::minstd_rand::result_type>(
      std::chrono::steady_clock::now().time_since_epoch().count() ^
      static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(this))));
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = path + ".tmp";
    for (int i = 0; i < 6; ++i) temp += kLetters[pick(random)];
    bool exists = false;
    std::string reason;
    const int fd = CreateTemp(temp, &exists, &reason);
    if (fd >= 0) {
      path_ = path;
      temp_ = std::move(temp);
      fd_ = fd;
      return true;
    }
    if (!exists) {
      *error = std::string(kCannotCreateTemp) + ": " + reason;
      return false;
    }
  }
  *error = SystemError(kCannotCreateTemp, EEXIST);
  return false;
}

bool ReplacementFile::Commit(std::string* error) {
  const int fd = fd_;
  fd_ = -1;
  std::string reason;
  if (!CloseTemp(fd, &reason)) {
    *error = "write failed: " + reason;
    Discard();
    return false;
  }
  const bool renamed = FinishTemp(temp_, &path_, &reason);
  temp_.clear();
  if (!renamed) *error = "cannot replace it: " + reason;
  return renamed;
}

void ReplacementFile::Discard() {
  if (fd_ >= 0) {
    std::string ignored;
    (void)CloseTemp(fd_, &ignored);
    fd_ = -1;
  }
  if (temp_.empty()) return;
  std::string ignored;
  (void)FinishTemp(temp_, nullptr, &ignored);
  temp_.clear();
}
