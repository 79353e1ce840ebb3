#include "adapters/index/storage/id_index.h"

namespace orlo_kiv {

void IdIndex::rebuild(std::size_t groups, const NodeTable& nodes) {
  std::unique_ptr<Group[]> old = std::make_unique<Group[]>(groups);  // may throw: nothing changed
  std::swap(old, groups_);
  const std::size_t old_count = std::exchange(group_count_, groups);
  size_ = 0;
  for (std::size_t g = 0; g < old_count; ++g) {
    for (std::size_t s = 0; s < kSlots; ++s) {
      if (old[g].tags[s] == kEmpty) continue;
      const Handle h = old[g].handles[s];
      add(hasher_(nodes.id(h)), h);
    }
  }
}

}  // namespace orlo_kiv
