// SPDX-License-Identifier: MIT
// tagwrap: tags a generic firmware image with a Buffalo header for one model.
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "buffalo_image.h"
#include "model_table.h"
#include "replace_file.h"

namespace {

// Every console message, each "%s" filled in order by Print.
constexpr char kUsage[] =
    "\n tagwrap v0.2 - add Buffalo header to input file\n\n"
    " usage:\n\n"
    "tagwrap inputfile model\n\n\n"
    " inputfile: generic larkos build\n\n"
    " supported model strings:\n\n";
constexpr char kSelectedModel[] = "\nSelected model: %s\n";
constexpr char kInputMissing[] = "file N/A - please select valid input file!\n";
constexpr char kInputNotRegular[] =
    "input file is not a regular file - please select valid input file!\n";
constexpr char kInputInvalid[] =
    "Input file is invalid, please use generic.bin file\n";
constexpr char kUnknownModel[] =
    "unknown model %s - please select valid model!\n";
constexpr char kInputSize[] = "input file size = %s\n";
constexpr char kInputTooLarge[] =
    "input file too large - the header's 7-digit length field holds at most "
    "%s bytes!\n";
constexpr char kWriteFailed[] = "could not write %s - %s!\n";
constexpr char kWritten[] = "File %s written with added Buffalo header";

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Prints `message` with each "%s" replaced by the next of `args`, taken
// literally, and flushes so that no message is lost if the run dies.
void Print(std::FILE* out, std::string_view message,
           std::initializer_list<std::string_view> args = {}) {
  std::string text;
  const auto* arg = args.begin();
  for (std::size_t pos = 0; pos < message.size(); ++pos) {
    if (message.compare(pos, 2, "%s") == 0 && arg != args.end()) {
      text += *arg++;
      ++pos;
    } else {
      text += message[pos];
    }
  }
  (void)std::fwrite(text.data(), 1, text.size(), out);
  (void)std::fflush(out);
}

// Closes the input; a failed close of a file only read loses nothing.
struct FileCloser {
  void operator()(std::FILE* file) const { (void)std::fclose(file); }
};

// Runs the tool on the command line `argv` and returns its exit status.
int Run(int argc, const char* const* argv, std::FILE* out) {
  if (argc != 3) {
    Print(out, std::string(kUsage) + ListModels());
    return kExitUsage;
  }
  const char* const inputfile = argv[1];
  const char* const key = argv[2];
  Print(out, kSelectedModel, {key});

  // Measured before opening, so that a pipe or device is refused before it
  // is read, or waited on.
  std::int64_t size = 0;
  switch (FileSize(inputfile, &size)) {
    case SizeStatus::kOk:
      break;
    case SizeStatus::kNoFile:
      Print(out, kInputMissing);
      return kExitFailure;
    case SizeStatus::kNotRegular:
      Print(out, kInputNotRegular);
      return kExitFailure;
  }
  std::unique_ptr<std::FILE, FileCloser> infile(std::fopen(inputfile, "rb"));
  if (!infile) {
    Print(out, kInputMissing);
    return kExitFailure;
  }
  if (!CheckImageMagic(infile.get())) {
    Print(out, kInputInvalid);
    return kExitFailure;
  }
  std::rewind(infile.get());

  const Model* const model = FindModel(key);
  if (model == nullptr) {
    Print(out, kUnknownModel, {key});
    return kExitFailure;
  }
  const char* const head = model->head;

  Print(out, kInputSize, {std::to_string(size)});
  LengthField fsize;
  if (!MakeLengthField(size, &fsize)) {
    Print(out, kInputTooLarge, {std::to_string(kMaxImageSize)});
    return kExitFailure;
  }

  const std::string outfilename = MakeOutputName(model->key);
  ReplacementFile outfile;
  std::string error;
  if (!outfile.Create(outfilename, &error) ||
      !WriteBuffaloImage(outfile, head, fsize, infile.get(), size, &error)) {
    outfile.Discard();
    Print(out, kWriteFailed, {outfilename, error});
    return kExitFailure;
  }
  // Closed first: on Windows an open input blocks replacing it, and the
  // input may be the earlier output itself.
  infile.reset();
  if (!outfile.Commit(&error)) {
    Print(out, kWriteFailed, {outfilename, error});
    return kExitFailure;
  }
  Print(out, kWritten, {outfilename});
  return kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) { return Run(argc, argv, stdout); }
