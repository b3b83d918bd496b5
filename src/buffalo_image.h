// SPDX-License-Identifier: MIT
// The Buffalo image format: the input it takes, the header it puts in front
// of it, and the name of the file it is written to.
#ifndef TAGWRAP_BUFFALO_IMAGE_H_
#define TAGWRAP_BUFFALO_IMAGE_H_

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "output_file.h"

// The first four bytes of a generic (TRX) firmware image.
inline constexpr std::array<char, 4> kImageMagic = {'H', 'D', 'R', '0'};

// The header's length field: the size in decimal, padded with zero bytes.
using LengthField = std::array<char, 7>;

// The largest image whose size fits the length field.
inline constexpr std::int64_t kMaxImageSize = 9'999'999;

// What FileSize found at a path.
enum class SizeStatus { kOk, kNoFile, kNotRegular };

// Sets `size` to the length of the file at `szFileName`. Only a regular file
// has a length worth stating, so anything else is reported, not measured.
SizeStatus FileSize(const char* szFileName, std::int64_t* size);

// Returns whether the next four bytes of `infile` are the image magic. Stops
// reading at the first byte that differs; end of file counts as a mismatch.
bool CheckImageMagic(std::FILE* infile);

// Fills `fsize` with the decimal digits of `size` followed by zero bytes.
// Returns false when `size` is negative or has more digits than fit.
bool MakeLengthField(std::int64_t size, LengthField* fsize);

// Returns the name of the output file for the model key `key`.
std::string MakeOutputName(std::string_view key);

// Writes the Buffalo header for `head` and `fsize` to `outfile`, then copies
// exactly `size` bytes from `infile`, which must be at its first byte.
// Returns false and says what failed in `error` on a write or read error, or
// when `infile` holds fewer or more than `size` bytes.
bool WriteBuffaloImage(OutputFile& outfile, const char* head,
                       const LengthField& fsize, std::FILE* infile,
                       std::int64_t size, std::string* error);

#endif  // TAGWRAP_BUFFALO_IMAGE_H_
