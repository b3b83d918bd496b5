// SPDX-License-Identifier: MIT
// Checking, measuring and naming firmware images, and writing them out with a
// Buffalo header in front.
#include "buffalo_image.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <system_error>

SizeStatus FileSize(const char* szFileName, std::int64_t* size) {
  struct stat st {};
  if (stat(szFileName, &st) != 0) return SizeStatus::kNoFile;
  if ((st.st_mode & S_IFMT) != S_IFREG) return SizeStatus::kNotRegular;
  *size = static_cast<std::int64_t>(st.st_size);
  return SizeStatus::kOk;
}

bool CheckImageMagic(std::FILE* infile) {
  for (const char expected : kImageMagic) {
    const int c = std::fgetc(infile);
    if (c == EOF || static_cast<char>(c) != expected) return false;
  }
  return true;
}

bool MakeLengthField(std::int64_t size, LengthField* fsize) {
  fsize->fill('\0');
  if (size < 0) return false;
  const auto result =
      std::to_chars(fsize->data(), fsize->data() + fsize->size(), size);
  if (result.ec != std::errc()) {
    fsize->fill('\0');
    return false;
  }
  return true;
}

std::string MakeOutputName(std::string_view key) {
  std::string outfilename = "lk-buffalo-";
  outfilename += key;
  outfilename += ".bin";
  return outfilename;
}

bool WriteBuffaloImage(OutputFile& outfile, const char* head,
                       const LengthField& fsize, std::FILE* infile,
                       std::int64_t size, std::string* error) {
  std::string header = head;
  header += "\nfilelen=";
  header.append(fsize.data(), fsize.size());
  header += '\n';
  if (!outfile.Write(header.data(), header.size(), error)) return false;

  std::int64_t counter = 0;
  if (!outfile.CopyFrom(infile, size, &counter, error)) return false;
  if (counter < size) {
    *error = "the input file ended after " + std::to_string(counter) + " of " +
             std::to_string(size) + " bytes (it changed while being read)";
    return false;
  }
  // The header states `size`; an input that holds more, because it grew
  // or because its size was never its length (as in /proc), would be cut
  // short without a word.
  errno = 0;
  if (std::fgetc(infile) != EOF) {
    *error = "the input file holds more than the " + std::to_string(size) +
             " bytes its size states";
    return false;
  }
  if (std::ferror(infile) != 0) {
    *error = SystemError("cannot read the input file", errno);
    return false;
  }
  return true;
}
