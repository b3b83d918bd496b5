// Lookup and listing of the supported models.
#include "model_table.h"

#include <ostream>

const Model* FindModel(std::string_view key) {
  for (const Model& model : kModels) {
    if (key == model.key) return &model;
  }
  return nullptr;
}

void ListModels(std::ostream& out) {
  for (const Model& model : kModels) out << "  " << model.key << '\n';
}
