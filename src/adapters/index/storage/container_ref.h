// A container of a container map that may be changed through it; or none
// (null). Valid as a ContainerView is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "adapters/index/storage/child_editor.h"
#include "adapters/index/storage/container_view.h"
#include "adapters/index/storage/node_table.h"
#include "adapters/index/subspace.h"

namespace orlo_kiv {

class ContainerMap;

class ContainerRef : public ContainerView {
 public:
  ContainerRef() noexcept = default;
  ContainerRef(std::nullptr_t) noexcept {}  // NOLINT: converts like a null pointer
  ContainerRef(ContainerMap& map, Handle handle) noexcept : ContainerView(map, handle) {}

  // A ref re-declares the view's access to itself and to its subspace so that
  // they give the ref, which allows change.
  // NOLINTNEXTLINE(bugprone-derived-method-shadowing-base-method)
  const ContainerRef* operator->() const noexcept { return this; }
  // NOLINTNEXTLINE(bugprone-derived-method-shadowing-base-method)
  ContainerRef operator*() const noexcept { return *this; }

  ChildEditor mutable_children() const;
  // A centroid of another length than the map's vectors is kept apart. A
  // chunk's sum keeps the values it had.
  void set_centroid(std::vector<float> centroid) const;
  void set_sum(std::vector<float> sum) const;
  // Requires has_sum(). The sum for in-place change.
  std::vector<float>& mutable_sum() const;
  void set_point_count(std::uint64_t count) const;
  // The subspace for change (null for a chunk); a fresh one is given its own
  // storage first.
  // NOLINTNEXTLINE(bugprone-derived-method-shadowing-base-method)
  Subspace* subspace() const;
  void set_subspace(std::unique_ptr<Subspace> subspace) const;

 private:
  ContainerMap& map() const noexcept;
};

}  // namespace orlo_kiv
