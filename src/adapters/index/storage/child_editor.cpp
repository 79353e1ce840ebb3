#include "adapters/index/storage/child_editor.h"

#include "adapters/index/storage/container_map.h"

namespace orlo_kiv {

ChildIds ChildEditor::view() const noexcept { return {map_->nodes_, *list_}; }

void ChildEditor::push_back(const Id& id) {
  list_->reserve_one_more();  // so that a failure cannot leave a new node listed half-way
  list_->push_back(map_->intern(id, NodeTable::kUnlisted));
}

std::size_t ChildEditor::erase_missing() {
  const NodeTable& nodes = map_->nodes_;
  const std::size_t removed =
      list_->erase_if([&](Handle h) { return nodes.kind(h) == NodeKind::Absent; });
  if (removed != 0) list_->shrink_to_fit();
  return removed;
}

void ChildEditor::erase_all(const Id& id) {
  const Handle h = map_->handle_of(id);
  if (h != kNoHandle) list_->erase_all(h);
}

}  // namespace orlo_kiv
