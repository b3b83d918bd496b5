// SPDX-License-Identifier: MIT
// Lookup and listing of the supported models.
#include "model_table.h"

#include <algorithm>
#include <iterator>

const Model* FindModel(std::string_view key) {
  const Model* const model =
      std::find_if(std::begin(kModels), std::end(kModels),
                   [key](const Model& row) { return key == row.key; });
  return model == std::end(kModels) ? nullptr : model;
}

std::string ListModels() {
  std::string listing;
  for (const Model& model : kModels) {
    listing += "  ";
    listing += model.key;
    listing += '\n';
  }
  return listing;
}
