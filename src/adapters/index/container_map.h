// The map from Id to Container that owns every container of an index.
//
// Open addressing with linear probing over a power-of-two table of small slots
// (the key and a pointer to its entry), at most three quarters full: a lookup
// usually reads one slot and then the entry itself. Entries are allocated one
// by one and never move, so references and pointers to them stay valid until
// their own erasure, even while the table grows. Iterators are invalidated by
// any insertion or erasure. Iteration order is unspecified.
#pragma once

#include <cstddef>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

#include "adapters/index/container.h"
#include "core/id.h"

namespace orlo_kiv {

class ContainerMap {
  struct Slot;

 public:
  using key_type = Id;
  using mapped_type = Container;
  using value_type = std::pair<const Id, Container>;

  template <bool Const>
  class Iterator {
    using SlotPointer = std::conditional_t<Const, const Slot*, Slot*>;

   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = ContainerMap::value_type;
    using difference_type = std::ptrdiff_t;
    using reference = std::conditional_t<Const, const value_type&, value_type&>;
    using pointer = std::conditional_t<Const, const value_type*, value_type*>;

    Iterator() noexcept = default;
    Iterator(SlotPointer slot, SlotPointer end) noexcept : slot_(slot), end_(end) { skip_empty(); }
    // A mutable iterator converts to a const one.
    template <bool OtherConst, class = std::enable_if_t<Const && !OtherConst>>
    Iterator(const Iterator<OtherConst>& other) noexcept : slot_(other.slot_), end_(other.end_) {}

    reference operator*() const noexcept { return *slot_->entry; }
    pointer operator->() const noexcept { return slot_->entry.get(); }
    Iterator& operator++() noexcept {
      ++slot_;
      skip_empty();
      return *this;
    }
    Iterator operator++(int) noexcept {
      Iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) noexcept {
      return a.slot_ == b.slot_;
    }

   private:
    friend class ContainerMap;
    template <bool>
    friend class Iterator;
    void skip_empty() noexcept {
      while (slot_ != end_ && !slot_->entry) ++slot_;
    }
    SlotPointer slot_ = nullptr;
    SlotPointer end_ = nullptr;
  };
  using iterator = Iterator<false>;
  using const_iterator = Iterator<true>;

  ContainerMap() = default;
  ContainerMap(ContainerMap&& other) noexcept;
  ContainerMap& operator=(ContainerMap&& other) noexcept;
  ContainerMap(const ContainerMap&) = delete;
  ContainerMap& operator=(const ContainerMap&) = delete;
  ~ContainerMap() = default;

  bool empty() const noexcept { return size_ == 0; }
  std::size_t size() const noexcept { return size_; }

  iterator begin() noexcept { return {slots_.data(), slots_.data() + slots_.size()}; }
  iterator end() noexcept { return {slots_.data() + slots_.size(), slots_.data() + slots_.size()}; }
  const_iterator begin() const noexcept { return {slots_.data(), slots_.data() + slots_.size()}; }
  const_iterator end() const noexcept {
    return {slots_.data() + slots_.size(), slots_.data() + slots_.size()};
  }

  iterator find(const Id& id) noexcept;
  const_iterator find(const Id& id) const noexcept;
  bool contains(const Id& id) const noexcept { return find(id) != end(); }

  // Stores `container` under `id`, replacing (and dropping) an existing entry.
  // Returns the entry and whether it is new. On allocation failure the map is
  // unchanged.
  std::pair<iterator, bool> insert_or_assign(const Id& id, Container&& container);

  // Removes the entry for `id`, if any; returns how many were removed.
  std::size_t erase(const Id& id) noexcept;

  // Makes room for `count` entries without growing the table again.
  void reserve(std::size_t count);

  // Rebuilds the table at the smallest size that holds the entries, when it
  // is at least four times larger than that (many entries were erased). The
  // entries stay where they are; the iteration order changes. Returns whether
  // it shrank; running out of memory for the smaller table is not an error.
  bool shrink_to_fit() noexcept;

  // Looking up many ids at once: hash each and prefetch its slot first, then
  // find them; the memory reads of all the ids overlap instead of queuing.
  std::size_t hash(const Id& id) const noexcept { return hasher_(id); }
  void prefetch(std::size_t hash) const noexcept;
  const value_type* find_hashed(const Id& id, std::size_t hash) const noexcept;

 private:
  struct Slot {
    Id key;
    std::unique_ptr<value_type> entry;  // null: the slot is empty
  };

  std::size_t index_of(const Id& id, std::size_t hash) const noexcept;
  static std::size_t capacity_for(std::size_t count) noexcept;
  void rebuild_table(std::size_t capacity);
  std::size_t mask() const noexcept { return slots_.size() - 1; }

  std::vector<Slot> slots_;  // empty, or a power of two in size
  std::size_t size_ = 0;
  IdHash hasher_;
};

}  // namespace orlo_kiv
