// Finds the handle of an id: open addressing over groups of twelve slots, each
// group one cache line holding a 7-bit tag per slot and the slot's handle.
//
// Entries are only ever added (a node keeps its handle for the life of the
// table), so a lookup can stop at the first group with a free slot. A lookup
// usually reads one group and, on a tag match, the node's id; a miss rarely
// reads an id at all. The table holds at most seven eighths of its slots and
// grows by half, which keeps it near 5 to 9 bytes per entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "adapters/index/storage/node_table.h"
#include "core/id.h"

namespace orlo_kiv {

class IdIndex {
 public:
  IdIndex() = default;
  IdIndex(IdIndex&& other) noexcept
      : groups_(std::move(other.groups_)),
        group_count_(std::exchange(other.group_count_, 0)),
        size_(std::exchange(other.size_, 0)),
        hasher_(other.hasher_) {}
  IdIndex& operator=(IdIndex&& other) noexcept {
    groups_ = std::move(other.groups_);
    group_count_ = std::exchange(other.group_count_, 0);
    size_ = std::exchange(other.size_, 0);
    hasher_ = other.hasher_;
    return *this;
  }

  std::size_t hash(const Id& id) const noexcept { return hasher_(id); }

  // The handle stored for `id`, or kNoHandle.
  Handle find(const Id& id, std::size_t hash, const NodeTable& nodes) const noexcept {
    if (group_count_ == 0) return kNoHandle;
    const std::uint8_t tag = tag_of(hash);
    for (std::size_t g = home_of(hash);; g = next(g)) {
      const Group& group = groups_[g];
      for (std::size_t s = 0; s < kSlots; ++s) {
        if (group.tags[s] == tag && nodes.id(group.handles[s]) == id) return group.handles[s];
        if (group.tags[s] == kEmpty) return kNoHandle;
      }
    }
  }

  // Makes room for `count` entries in all, so that the next additions up to
  // that count cannot fail. Throws std::bad_alloc, changing nothing.
  void reserve(std::size_t count, const NodeTable& nodes) {
    if (count <= max_entries(group_count_)) return;
    std::size_t groups = group_count_ == 0 ? 1 : group_count_;
    while (max_entries(groups) < count) groups += groups / 2 + 1;
    rebuild(groups, nodes);
  }

  // Stores `handle` for an id that has none yet. Requires room (reserve).
  void add(std::size_t hash, Handle handle) noexcept {
    const std::uint8_t tag = tag_of(hash);
    for (std::size_t g = home_of(hash);; g = next(g)) {
      Group& group = groups_[g];
      for (std::size_t s = 0; s < kSlots; ++s) {
        if (group.tags[s] == kEmpty) {
          group.tags[s] = tag;
          group.handles[s] = handle;
          ++size_;
          return;
        }
      }
    }
  }

  std::size_t size() const noexcept { return size_; }

 private:
  static constexpr std::size_t kSlots = 12;
  static constexpr std::uint8_t kEmpty = 0;

  struct alignas(64) Group {
    std::uint8_t tags[kSlots];
    std::uint32_t handles[kSlots];
  };
  static_assert(sizeof(Group) == 64);

  static std::size_t max_entries(std::size_t groups) noexcept { return groups * kSlots / 8 * 7; }
  // Occupied slots carry a tag with the high bit set, so no tag is kEmpty.
  static std::uint8_t tag_of(std::size_t hash) noexcept {
    return static_cast<std::uint8_t>(0x80u | (hash & 0x7Fu));
  }
  // The high bits of the hash choose the group, the low bits make the tag.
  std::size_t home_of(std::size_t hash) const noexcept {
    __extension__ using Wide = unsigned __int128;
    return static_cast<std::size_t>((static_cast<Wide>(hash) * group_count_) >> 64);
  }
  std::size_t next(std::size_t g) const noexcept { return g + 1 == group_count_ ? 0 : g + 1; }

  void rebuild(std::size_t groups, const NodeTable& nodes);

  std::unique_ptr<Group[]> groups_;
  std::size_t group_count_ = 0;
  std::size_t size_ = 0;
  IdHash hasher_;
};

}  // namespace orlo_kiv
