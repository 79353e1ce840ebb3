#include "adapters/index/container_map.h"

#include <algorithm>
#include <new>

namespace orlo_kiv {
namespace {

constexpr std::size_t kMinCapacity = 16;

// Most entries a table of `capacity` slots holds: three quarters keeps linear
// probe runs short.
constexpr std::size_t max_entries(std::size_t capacity) noexcept { return capacity / 4 * 3; }

}  // namespace

ContainerMap::ContainerMap(ContainerMap&& other) noexcept
    : slots_(std::move(other.slots_)),
      size_(std::exchange(other.size_, 0)),
      hasher_(other.hasher_) {
  other.slots_.clear();
}

ContainerMap& ContainerMap::operator=(ContainerMap&& other) noexcept {
  if (this != &other) {
    slots_ = std::move(other.slots_);
    other.slots_.clear();
    size_ = std::exchange(other.size_, 0);
    hasher_ = other.hasher_;
  }
  return *this;
}

// The slot holding `id`, or the empty slot that ends its probe run (the table
// is never full, so one exists). Requires a non-empty table.
std::size_t ContainerMap::index_of(const Id& id, std::size_t hash) const noexcept {
  std::size_t i = hash & mask();
  while (slots_[i].entry && slots_[i].key != id) i = (i + 1) & mask();
  return i;
}

ContainerMap::iterator ContainerMap::find(const Id& id) noexcept {
  if (size_ == 0) return end();
  const std::size_t i = index_of(id, hasher_(id));
  if (!slots_[i].entry) return end();
  return {slots_.data() + i, slots_.data() + slots_.size()};
}

ContainerMap::const_iterator ContainerMap::find(const Id& id) const noexcept {
  if (size_ == 0) return end();
  const std::size_t i = index_of(id, hasher_(id));
  if (!slots_[i].entry) return end();
  return {slots_.data() + i, slots_.data() + slots_.size()};
}

void ContainerMap::prefetch(std::size_t hash) const noexcept {
  if (!slots_.empty()) __builtin_prefetch(&slots_[hash & mask()]);
}

const ContainerMap::value_type* ContainerMap::find_hashed(const Id& id,
                                                          std::size_t hash) const noexcept {
  if (size_ == 0) return nullptr;
  return slots_[index_of(id, hash)].entry.get();
}

void ContainerMap::rebuild_table(std::size_t capacity) {
  std::vector<Slot> grown(capacity);  // may throw: nothing has changed yet
  const std::size_t grown_mask = capacity - 1;
  for (Slot& slot : slots_) {
    if (!slot.entry) continue;
    std::size_t i = hasher_(slot.key) & grown_mask;
    while (grown[i].entry) i = (i + 1) & grown_mask;
    grown[i] = std::move(slot);
  }
  slots_ = std::move(grown);
}

// The smallest table that holds `count` entries.
std::size_t ContainerMap::capacity_for(std::size_t count) noexcept {
  std::size_t capacity = kMinCapacity;
  while (max_entries(capacity) < count) capacity *= 2;
  return capacity;
}

bool ContainerMap::shrink_to_fit() noexcept {
  const std::size_t capacity = capacity_for(size_);
  if (slots_.size() < 4 * capacity) return false;
  try {
    rebuild_table(capacity);
  } catch (const std::bad_alloc&) {
    return false;  // giving room back is optional: the larger table stays as it was
  }
  return true;
}

void ContainerMap::reserve(std::size_t count) {
  std::size_t capacity = std::max(slots_.size(), kMinCapacity);
  while (max_entries(capacity) < count) capacity *= 2;
  if (capacity != slots_.size()) rebuild_table(capacity);
}

std::pair<ContainerMap::iterator, bool> ContainerMap::insert_or_assign(const Id& id,
                                                                       Container&& container) {
  const std::size_t hash = hasher_(id);
  if (size_ != 0) {
    const std::size_t i = index_of(id, hash);
    if (slots_[i].entry) {
      slots_[i].entry->second = std::move(container);
      return {{slots_.data() + i, slots_.data() + slots_.size()}, false};
    }
  }
  auto entry = std::make_unique<value_type>(id, std::move(container));
  if (size_ + 1 > max_entries(slots_.size())) {
    rebuild_table(slots_.empty() ? kMinCapacity : slots_.size() * 2);
  }
  const std::size_t i = index_of(id, hash);
  slots_[i].key = id;
  slots_[i].entry = std::move(entry);
  ++size_;
  return {{slots_.data() + i, slots_.data() + slots_.size()}, true};
}

std::size_t ContainerMap::erase(const Id& id) noexcept {
  if (size_ == 0) return 0;
  std::size_t hole = index_of(id, hasher_(id));
  if (!slots_[hole].entry) return 0;
  slots_[hole].entry.reset();
  --size_;
  // Backward-shift deletion: move later members of the probe run into the
  // hole whenever their home slot does not lie between the hole and them, so
  // every remaining key stays reachable from its home slot without tombstones.
  for (std::size_t next = (hole + 1) & mask(); slots_[next].entry; next = (next + 1) & mask()) {
    const std::size_t home = hasher_(slots_[next].key) & mask();
    const bool home_between =
        hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
    if (home_between) continue;
    slots_[hole] = std::move(slots_[next]);
    hole = next;
  }
  return 1;
}

}  // namespace orlo_kiv
