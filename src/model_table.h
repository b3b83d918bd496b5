// SPDX-License-Identifier: MIT
// The Buffalo models tagwrap can tag an image for, and the header line of each.
#ifndef TAGWRAP_MODEL_TABLE_H_
#define TAGWRAP_MODEL_TABLE_H_

#include <string>
#include <string_view>

// One supported model: the key the user types, and the identity line that
// becomes the first line of its Buffalo header.
struct Model {
  const char* key;
  const char* head;
};

// Every supported model, in lookup and listing order.
inline constexpr Model kModels[] = {
    {"wla-g54", "WLA-G54 2.05 1.02"},
    // This row and wbr-g54 name a B11 product on purpose; keep them as they
    // are.
    {"wla-g54c", "WLA-B11C 2.20 1.05"},
    {"wla2-g54c", "WLA2-G54C 2.23 1.05"},
    {"wla2-g54l", "WLA2-G54L 2.24 1.00"},
    {"wbr-g54", "WBR-B11 2.20 1.16"},
    {"wbr2-g54", "WBR2-G54 2.30 6.03"},
    {"wbr2-g54s", "WBR2-G54S 2.30 6.10"},
    {"wli-tx4-g54hp", "WLI-TX4-G54HP 2.50 2.03"},
    {"wli3-tx1-g54", "WLI3-TX1-G54 2.30 1.07"},
    {"wzr-rs-g54", "WZR-RS-G54 2.32 1.01"},
};

// Returns the row whose key equals `key` byte for byte, or nullptr.
const Model* FindModel(std::string_view key);

// Returns every key on a line of its own, indented by two blanks.
std::string ListModels();

#endif  // TAGWRAP_MODEL_TABLE_H_
