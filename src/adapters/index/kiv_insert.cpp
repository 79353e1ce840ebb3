// The write path: insertion with session and document boundaries, and sparse
// propagation of the new vector into the centroids of its ancestors.
//
// Insertion never attaches a chunk under a container that is missing or of the
// wrong level: a root, session or document slot that names no such container
// is treated as empty and a fresh one is opened, so every stored chunk stays
// reachable from the root.
#include <cmath>
#include <limits>

#include "adapters/index/kiv.h"
#include "core/clock.h"
#include "core/kernels.h"

namespace orlo_kiv {
namespace {

// Spherical interpolation from `old` towards `v` by fraction 1/(n+1), written
// into `out` (the shorter of the two lengths).
void slerp_towards(std::span<const float> old, std::span<const float> v, std::uint64_t n,
                   std::vector<float>& out) {
  const std::size_t len = std::min(old.size(), v.size());
  const float fraction = 1.0f / (static_cast<float>(n) + 1.0f);
  float c = kernels::dot(old.data(), v.data(), len);
  // The clamp keeps theta away from 0 and pi, so sin(theta) never vanishes.
  if (c < -0.9999f) c = -0.9999f;
  if (c > 0.9999f) c = 0.9999f;
  const float theta = std::acos(c);
  const float sin_theta = std::sin(theta);
  const float wa = std::sin((1.0f - fraction) * theta) / sin_theta;
  const float wb = std::sin(fraction * theta) / sin_theta;
  out.resize(len);
  for (std::size_t i = 0; i < len; ++i) out[i] = old[i] * wa + v[i] * wb;
}

}  // namespace

void KivIndex::new_session() noexcept {
  current_document_.reset();
  current_session_.reset();
}

void KivIndex::new_document() noexcept { current_document_.reset(); }

Id KivIndex::create_branch(ContainerLevel level, const Id& chunk) {
  // Never an id in use, nor the chunk's: storing the branch would silently
  // replace that container, or the chunk would replace the branch.
  const Id id = unused_id(chunk);
  containers_.insert_or_assign(id, Container::branch(id, level, dimensionality_, now_ms()));
  return id;
}

bool KivIndex::names_level(const std::optional<Id>& slot, ContainerLevel level, Handle& hint) {
  if (!slot) return false;
  const ContainerView c = containers_.find(*slot, hint);
  return c && c->level() == level;
}

// NOLINTBEGIN(bugprone-unchecked-optional-access): names_level() holds only for
// a present id, and every slot it rejects is filled before it is read.
Id KivIndex::open_insertion_path(const Id& chunk) {
  bool session_usable = names_level(current_session_, ContainerLevel::Session, session_hint_);
  if (!names_level(root_id_, ContainerLevel::Global, root_hint_)) {
    root_id_ = create_branch(ContainerLevel::Global, chunk);
    // A session of the old root is not under the new one: open a fresh session.
    session_usable = false;
  }
  bool document_usable =
      session_usable && names_level(current_document_, ContainerLevel::Document, document_hint_);
  if (!session_usable) {
    const Id session = create_branch(ContainerLevel::Session, chunk);
    containers_.find(*root_id_, root_hint_)->mutable_children().push_back(session);
    current_session_ = session;
  }
  if (!document_usable) {
    current_document_.reset();
    const Id document = create_branch(ContainerLevel::Document, chunk);
    containers_.find(*current_session_, session_hint_)->mutable_children().push_back(document);
    current_document_ = document;
  }
  return *current_document_;
}
// NOLINTEND(bugprone-unchecked-optional-access)

std::expected<void, CoreError> KivIndex::insert(const Id& id, std::vector<float> embedding) {
  if (embedding.size() != dimensionality_) {
    return std::unexpected(CoreError::dimension_mismatch(dimensionality_, embedding.size()));
  }
  const Id document = open_insertion_path(id);
  // NOLINTBEGIN(bugprone-unchecked-optional-access): open_insertion_path() filled the slots.
  const Id session = *current_session_;
  const Id root = *root_id_;
  // NOLINTEND(bugprone-unchecked-optional-access)

  const ContainerRef chunk = containers_.insert_chunk(id, embedding, now_ms()).first;
  // A stored vector never moves and propagation never changes a chunk, so this
  // view of the stored embedding stays valid for the whole insertion.
  const std::span<const float> vector = chunk->centroid();

  // The chunk's id may have replaced the document itself; attach only to a document.
  if (const ContainerRef doc = containers_.find(document, document_hint_);
      doc && doc->level() == ContainerLevel::Document) {
    doc->mutable_children().push_back(chunk.handle());
  }

  const float threshold = config_.propagation_threshold;
  float shift = propagate_point(document, vector, document_hint_);
  if (!(threshold > shift)) {  // a NaN shift never stops the walk
    shift = propagate_point(session, vector, session_hint_);
    if (!(threshold > shift)) propagate_point(root, vector, root_hint_);
  }

  close_full_containers();
  return {};
}

void KivIndex::close_full_containers() noexcept {
  if (current_document_) {
    const ContainerView doc = containers_.find(*current_document_, document_hint_);
    if (doc && doc->children().size() >= config_.max_children) current_document_.reset();
  }
  if (current_session_) {
    const ContainerView session = containers_.find(*current_session_, session_hint_);
    if (session && session->children().size() >= config_.max_children) {
      current_session_.reset();
      current_document_.reset();
    }
  }
}

float KivIndex::propagate_point(const Id& container_id, std::span<const float> v, Handle& hint) {
  const ContainerRef c = containers_.find(container_id, hint);
  // A chunk's centroid is its embedding; nothing moves it.
  if (!c || c->is_chunk()) return 0.0f;

  const std::uint64_t n = c->point_count();
  if (n == 0) {
    c->set_centroid(std::vector<float>(v.begin(), v.end()));
    c->set_sum(std::vector<float>(v.begin(), v.end()));
    c->set_point_count(1);
    // A container's first vector always lets propagation continue.
    return std::numeric_limits<float>::max();
  }

  // Allocate everything first, so that a failed allocation changes nothing.
  std::vector<float> fresh_sum;
  if (!c->has_sum()) fresh_sum.assign(v.begin(), v.end());
  std::vector<float>& sum = c->has_sum() ? c->mutable_sum() : fresh_sum;
  std::vector<float> next;
  next.reserve(std::max(sum.size(), v.size()));

  if (&sum != &fresh_sum) {
    const std::size_t len = std::min(sum.size(), v.size());
    kernels::add_into(sum.data(), v.data(), len);
  }
  const std::span<const float> old = c->centroid();
  if (config_.spherical_updates) {
    slerp_towards(old, v, n, next);
  } else {
    const float divisor = static_cast<float>(n) + 1.0f;
    next.resize(sum.size());
    kernels::divide_into(next.data(), sum.data(), divisor, sum.size());
  }
  normalize_in_place(next);
  const float shift = std::sqrt(
      kernels::squared_distance(next.data(), old.data(), std::min(next.size(), old.size())));

  c->set_centroid(std::move(next));
  if (&sum == &fresh_sum) c->set_sum(std::move(fresh_sum));
  c->set_point_count(n + 1);

  if (config_.use_subspaces && config_.incremental_subspaces && c->subspace() != nullptr) {
    c->subspace()->add_point(v);
  }
  return shift;
}

}  // namespace orlo_kiv
