// SPDX-License-Identifier: MIT
// Tests of the model lookup and the listing of supported models.
#include "model_table.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string_view>

#include "test_util.h"

namespace {

using test::kExpectedModels;

TEST(ModelTableTest, FindsEveryKeyWithItsIdentityLine) {
  ASSERT_EQ(std::size(kModels), std::size(kExpectedModels));
  for (std::size_t i = 0; i < std::size(kExpectedModels); ++i) {
    const auto& row = kExpectedModels[i];
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
  EXPECT_EQ(ListModels(),
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
