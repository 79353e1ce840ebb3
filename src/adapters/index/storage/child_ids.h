// The children of one container, read as ids: a view of its child list (node
// handles) through the node table. Valid until the map changes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <vector>

#include "adapters/index/storage/child_list.h"
#include "adapters/index/storage/node_table.h"
#include "core/id.h"

namespace orlo_kiv {

class ChildIds {
 public:
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Id;
    using difference_type = std::ptrdiff_t;
    using reference = const Id&;
    using pointer = const Id*;

    Iterator() noexcept = default;
    Iterator(const NodeTable* nodes, ChildList::Iterator at) noexcept : nodes_(nodes), at_(at) {}
    const Id& operator*() const noexcept { return nodes_->id(*at_); }
    const Id* operator->() const noexcept { return &nodes_->id(*at_); }
    Iterator& operator++() noexcept {
      ++at_;
      return *this;
    }
    Iterator operator++(int) noexcept {
      Iterator old = *this;
      ++at_;
      return old;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) noexcept { return a.at_ == b.at_; }

   private:
    const NodeTable* nodes_ = nullptr;
    ChildList::Iterator at_;
  };

  ChildIds(const NodeTable& nodes, const ChildList& list) noexcept : nodes_(&nodes), list_(&list) {}

  std::size_t size() const noexcept { return list_->size(); }
  bool empty() const noexcept { return list_->empty(); }
  Iterator begin() const noexcept { return {nodes_, list_->begin()}; }
  Iterator end() const noexcept { return {nodes_, list_->end()}; }
  // The id at position `i`; an internal error when i >= size().
  const Id& at(std::size_t i) const;
  const Id& operator[](std::size_t i) const { return at(i); }
  const Id& front() const { return at(0); }
  const Id& back() const;
  const ChildList& handles() const noexcept { return *list_; }

  std::vector<Id> to_vector() const { return {begin(), end()}; }
  operator std::vector<Id>() const { return to_vector(); }  // NOLINT: a copy, by design
  friend bool operator==(const ChildIds& a, const std::vector<Id>& b) {
    return a.size() == b.size() && std::equal(b.begin(), b.end(), a.begin());
  }

 private:
  const NodeTable* nodes_;
  const ChildList* list_;
};

}  // namespace orlo_kiv
