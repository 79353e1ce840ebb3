#include "adapters/index/storage/child_ids.h"

#include <string>

#include "core/internal_error.h"

namespace orlo_kiv {

const Id& ChildIds::at(std::size_t i) const {
  if (i >= list_->size()) {
    internal_error("child index " + std::to_string(i) + " out of bounds for " +
                   std::to_string(list_->size()) + " children");
  }
  return nodes_->id(list_->at(i));
}

const Id& ChildIds::back() const {
  if (list_->empty()) internal_error("back() of an empty children list");
  return nodes_->id(list_->back());
}

}  // namespace orlo_kiv
