// Tests of the model lookup and the listing of supported models.
#include "model_table.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <sstream>
#include <string_view>

namespace {

struct Row {
  std::string_view key;
  std::string_view head;
};

// The table as users and devices know it, in listing order.
constexpr Row kExpectedRows[] = {
    {"wla-g54", "WLA-G54 2.05 1.02"},
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

TEST(ModelTableTest, FindsEveryKeyWithItsIdentityLine) {
  ASSERT_EQ(std::size(kModels), std::size(kExpectedRows));
  for (std::size_t i = 0; i < std::size(kExpectedRows); ++i) {
    const Row& row = kExpectedRows[i];
    const Model* model = FindModel(row.key);
    ASSERT_NE(model, nullptr) << row.key;
    EXPECT_EQ(model, &kModels[i]) << row.key;
    EXPECT_EQ(model->key, row.key);
    EXPECT_EQ(model->head, row.head) << row.key;
  }
}

TEST(ModelTableTest, MatchesWholeKeysExactly) {
  const std::string_view misses[] = {
      "",       "WZR-RS-G54", "wzr-rs-g54 ",  " wzr-rs-g54", "wzr-rs",
      "wla-g5", "wla-g54cc",  "wzr-rs-g54\n", "lk-buffalo",  "WLA-G54",
  };
  for (std::string_view key : misses) {
    EXPECT_EQ(FindModel(key), nullptr) << '"' << key << '"';
  }
}

TEST(ModelTableTest, ListsKeysInTableOrder) {
  std::ostringstream out;
  ListModels(out);
  EXPECT_EQ(out.str(),
            "  wla-g54\n"
            "  wla-g54c\n"
            "  wla2-g54c\n"
            "  wla2-g54l\n"
            "  wbr-g54\n"
            "  wbr2-g54\n"
            "  wbr2-g54s\n"
            "  wli-tx4-g54hp\n"
            "  wli3-tx1-g54\n"
            "  wzr-rs-g54\n");
}

}  // namespace
