// Edits the children of one container of a container map. Valid until the
// map changes otherwise.
#pragma once

#include <cstddef>

#include "adapters/index/storage/child_ids.h"
#include "adapters/index/storage/child_list.h"
#include "adapters/index/storage/node_table.h"
#include "core/id.h"

namespace orlo_kiv {

class ContainerMap;

class ChildEditor {
 public:
  ChildEditor(ContainerMap& map, ChildList& list) noexcept : map_(&map), list_(&list) {}

  std::size_t size() const noexcept { return list_->size(); }
  bool empty() const noexcept { return list_->empty(); }
  ChildIds view() const noexcept;
  ChildIds::Iterator begin() const noexcept { return view().begin(); }
  ChildIds::Iterator end() const noexcept { return view().end(); }

  // Appends `id`, which need not name a container.
  void push_back(const Id& id);
  // Appends the node `child` of the same map.
  void push_back(Handle child) {
    list_->reserve_one_more();
    list_->push_back(child);
  }
  // Makes room for `count` children in all, so that pushing back up to that
  // many ids that the map already knows cannot fail.
  void reserve(std::size_t count) {
    if (count > list_->size()) list_->reserve_more(count - list_->size());
  }
  // Appends every child listed by `other` (children of a container of the same map).
  void append(const ChildIds& other) { list_->append(other.handles()); }
  // Keeps the first `count` children.
  void truncate(std::size_t count) noexcept { list_->truncate(count); }
  // Removes every occurrence of `id`.
  void erase_all(const Id& id);
  // Removes every occurrence of the node `child` of the same map.
  void erase_all(Handle child) { list_->erase_all(child); }
  // Removes every child whose node handle satisfies `pred`; returns how many.
  template <class Pred>
  std::size_t erase_if(Pred pred) {
    return list_->erase_if(pred);
  }
  // Removes every child that names no container; returns how many. Frees the
  // room the list no longer needs.
  std::size_t erase_missing();
  void clear() noexcept { list_->clear(); }

 private:
  ContainerMap* map_;
  ChildList* list_;
};

}  // namespace orlo_kiv
