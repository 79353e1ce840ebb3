// The index record: configuration, the container map that owns every node of
// the four-level tree (root, sessions, documents, chunks), the proximity and
// merge strategies, and the boundary slots that say where the next insertion
// goes.
//
// The tree exists only as children lists; containers hold no parent links.
// Removal deletes single map entries, so every lookup of a referenced id must
// tolerate its absence.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "adapters/index/config.h"
#include "adapters/index/core_error.h"
#include "adapters/index/learnable_routing.h"
#include "adapters/index/storage/container.h"
#include "adapters/index/storage/container_map.h"
#include "core/id.h"
#include "core/merge.h"
#include "core/proximity.h"

namespace orlo_kiv {

struct KivStats {
  std::uint64_t global_count = 0;
  std::uint64_t session_count = 0;
  std::uint64_t document_count = 0;
  std::uint64_t chunk_count = 0;
};

struct SearchHit {
  Id id;
  float score;
};

struct SessionHit {
  Id id;
  std::uint64_t chunk_count;
  std::uint64_t timestamp_ms;
  float score;
};

struct DocumentHit {
  Id id;
  std::uint64_t chunk_count;
  float score;
};

class KivIndex {
 public:
  // An empty index with the default configuration, cosine proximity and mean merge.
  static KivIndex cosine(std::size_t dimensionality);
  // The same with a copy of `config`; builds routing weights when it asks for routing.
  static KivIndex with_config(std::size_t dimensionality, const KivConfig& config);

  KivIndex(KivIndex&&) noexcept = default;
  KivIndex& operator=(KivIndex&&) noexcept = default;
  KivIndex(const KivIndex&) = delete;
  KivIndex& operator=(const KivIndex&) = delete;

  // --- Insertion and boundaries ------------------------------------------------

  // Stores `embedding` as chunk `id` under the current document, opening a root,
  // session and document as needed, then moves the ancestors' centroids towards
  // it. Fails with DimensionMismatch (nothing changed) on a wrong length.
  std::expected<void, CoreError> insert(const Id& id, std::vector<float> embedding);
  void new_session() noexcept;
  void new_document() noexcept;

  // --- Removal and size ----------------------------------------------------------

  // Deletes the map entry for `id`, if any, and nothing else.
  void remove(const Id& id) noexcept;
  // Counts of containers by level; constant time (the map keeps them).
  KivStats stats() const noexcept;
  std::uint64_t chunk_count() const noexcept { return containers_.count(ContainerLevel::Chunk); }
  bool is_empty() const noexcept { return chunk_count() == 0; }

  // --- Queries ---------------------------------------------------------------------

  // Distance (smaller is closer) of one container to `query` at time `now_ms`.
  float container_distance(std::span<const float> query, std::uint64_t now_ms,
                           const ContainerView& container) const;
  // The same for a container value that need not be in the index.
  float container_distance(std::span<const float> query, std::uint64_t now_ms,
                           const Container& container) const;
  // 1 - distance for similarity proximities, the distance itself otherwise.
  float reported_score(float distance) const noexcept;

  std::expected<std::vector<SearchHit>, CoreError> near(std::span<const float> query,
                                                        std::size_t k) const;
  std::expected<std::vector<SessionHit>, CoreError> near_sessions(std::span<const float> query,
                                                                  std::size_t k) const;
  std::expected<std::vector<DocumentHit>, CoreError> near_documents(const Id& session_id,
                                                                    std::span<const float> query,
                                                                    std::size_t k) const;
  std::expected<std::vector<SearchHit>, CoreError> near_in_document(const Id& document_id,
                                                                    std::span<const float> query,
                                                                    std::size_t k) const;

  // --- State, for consolidation and persistence ------------------------------------

  const KivConfig& config() const noexcept { return config_; }
  std::size_t dimensionality() const noexcept { return dimensionality_; }
  bool proximity_is_similarity() const noexcept { return proximity_is_similarity_; }
  const Proximity& proximity() const noexcept { return *proximity_; }
  const Merge& merge() const noexcept { return *merge_; }

  const ContainerMap& containers() const noexcept { return containers_; }
  ContainerMap& containers() noexcept { return containers_; }
  ContainerView find(const Id& id) const noexcept { return containers_.find(id); }
  ContainerRef find(const Id& id) noexcept { return containers_.find(id); }

  // A freshly generated id (new_id) that names no container of this index and
  // differs from `reserved` (an id about to be stored): generated ids are
  // predictable, so one may already be taken by a caller's chunk or a loaded
  // record, and is then drawn again.
  Id unused_id(const std::optional<Id>& reserved = std::nullopt) const;

  const std::optional<Id>& root_id() const noexcept { return root_id_; }
  const std::optional<Id>& current_session() const noexcept { return current_session_; }
  const std::optional<Id>& current_document() const noexcept { return current_document_; }
  void set_root_id(std::optional<Id> id) noexcept { root_id_ = id; }
  void set_current_session(std::optional<Id> id) noexcept { current_session_ = id; }
  void set_current_document(std::optional<Id> id) noexcept { current_document_ = id; }

  const std::optional<RoutingWeights>& routing_weights() const noexcept { return routing_weights_; }
  void set_routing_weights(std::optional<RoutingWeights> weights) noexcept {
    routing_weights_ = std::move(weights);
  }

 private:
  KivIndex(std::size_t dimensionality, const KivConfig& config);

  // Opens the containers chunk `chunk` goes into; returns the document's id.
  Id open_insertion_path(const Id& chunk);
  // A new root, session or document, under an id that differs from `chunk`.
  Id create_branch(ContainerLevel level, const Id& chunk);
  // Absorbs `v` into one container; returns how far its centroid moved.
  float propagate_point(const Id& container_id, std::span<const float> v, Handle& hint);
  // A slot is usable when it names a container of the expected level.
  bool names_level(const std::optional<Id>& slot, ContainerLevel level, Handle& hint);
  void close_full_containers() noexcept;

  KivConfig config_;
  ContainerMap containers_;
  std::shared_ptr<const Proximity> proximity_;
  std::shared_ptr<const Merge> merge_;
  std::size_t dimensionality_;
  std::optional<RoutingWeights> routing_weights_;
  std::optional<Id> root_id_;
  std::optional<Id> current_session_;
  std::optional<Id> current_document_;
  // Where the map last found the root, current session and current document:
  // insertion looks them up several times per chunk.
  Handle root_hint_ = kNoHandle;
  Handle session_hint_ = kNoHandle;
  Handle document_hint_ = kNoHandle;
  bool proximity_is_similarity_ = true;
};

}  // namespace orlo_kiv
