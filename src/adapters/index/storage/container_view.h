// A container of a container map, read-only, named by node handle; or none
// (null). A small pointer-like value: view->level(), *view. Valid until its
// container is erased or replaced; the spans and child lists read through it
// until the next change of the map. The hot accessors are defined inline in
// container_map.h, which every user of a view includes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "adapters/index/storage/child_ids.h"
#include "adapters/index/storage/container_level.h"
#include "adapters/index/storage/node_table.h"
#include "adapters/index/subspace.h"
#include "core/id.h"

namespace orlo_kiv {

class ContainerMap;

class ContainerView {
 public:
  ContainerView() noexcept = default;
  ContainerView(std::nullptr_t) noexcept {}  // NOLINT: converts like a null pointer
  ContainerView(const ContainerMap& map, Handle handle) noexcept : map_(&map), handle_(handle) {}

  explicit operator bool() const noexcept { return map_ != nullptr; }
  friend bool operator==(const ContainerView& view, std::nullptr_t) noexcept { return !view; }
  const ContainerView* operator->() const noexcept { return this; }
  ContainerView operator*() const noexcept { return *this; }

  Handle handle() const noexcept { return handle_; }
  const Id& id() const noexcept;
  ContainerLevel level() const noexcept;
  bool is_chunk() const noexcept { return level() == ContainerLevel::Chunk; }
  std::span<const float> centroid() const noexcept;
  ChildIds children() const noexcept;
  std::uint64_t point_count() const noexcept;
  std::uint64_t timestamp_ms() const noexcept;
  bool has_sum() const noexcept;
  // The running sum; empty when there is none.
  std::span<const float> sum() const noexcept;
  const Subspace* subspace() const noexcept;

 protected:
  const ContainerMap* map_ = nullptr;
  Handle handle_ = kNoHandle;
};

}  // namespace orlo_kiv
