// Writing an index in its binary form: the size is computed first, so that
// callers can place the bytes directly where they end up (a Python bytes
// object, a file buffer) without growing or copying them.
#include <algorithm>
#include <limits>

#include "adapters/index/persistence.h"

namespace orlo_kiv::persistence {
namespace {

constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();

// The record boundaries of the format are found only through the header's
// dimensionality, so a vector of any other length would make the data unreadable.
void require_dimensionality(std::span<const float> values, std::size_t dimensionality) {
  if (values.size() != dimensionality) {
    internal_error("container vector of " + std::to_string(values.size()) +
                   " values in an index of dimensionality " + std::to_string(dimensionality));
  }
}

// Routing weights as stored: one per dimension. A single weight shared by all
// dimensions is written once per dimension, which scores every query exactly
// as the shared weight did and reads back as ordinary per-dimension weights.
void put_routing_weights(ByteWriter& w, const RoutingWeights& routing, std::size_t dimensionality) {
  const std::span<const float> weights = routing.weights();
  if (weights.size() == dimensionality) {
    put_f32s_le(w, weights);
    return;
  }
  if (weights.size() != 1) {
    internal_error("routing weights of " + std::to_string(weights.size()) +
                   " values in an index of dimensionality " + std::to_string(dimensionality));
  }
  for (std::size_t i = 0; i < dimensionality; ++i) put_f32s_le(w, weights);
}

}  // namespace

std::expected<std::size_t, PersistError> encoded_size(const KivIndex& index) {
  const std::size_t d = index.dimensionality();
  if (d > kMaxU32) {
    return std::unexpected(PersistError::io("dimensionality " + std::to_string(d) +
                                            " does not fit the format's 32-bit field"));
  }
  std::size_t size = kHeaderSize + kTrailerSize;
  for (const auto& [id, container] : index.containers()) {
    require_dimensionality(container.centroid(), d);
    if (container.has_sum() && container.sum().size() != d) {
      internal_error("container sum of " + std::to_string(container.sum().size()) +
                     " values in an index of dimensionality " + std::to_string(d));
    }
    const std::size_t children = container.children().size();
    if (children > kMaxU32) {
      return std::unexpected(PersistError::io("a container of " + std::to_string(children) +
                                              " children does not fit the format's 32-bit field"));
    }
    size += record_size(children, d, container.has_sum());
  }
  if (index.routing_weights()) size += sizeof(float) * d;
  return size;
}

void encode_into(const KivIndex& index, std::span<std::uint8_t> out) {
  ByteWriter w(out);
  const std::size_t d = index.dimensionality();

  std::copy(kMagic.begin(), kMagic.end(), w.advance(kMagic.size()));
  put_u32_le(w, kVersion);
  put_u32_le(w, static_cast<std::uint32_t>(d));
  put_u64_le(w, index.containers().size());
  put_optional_id(w, index.root_id());

  for (const auto& [id, container] : index.containers()) {
    put_id(w, container.id());
    put_u8(w, static_cast<std::uint8_t>(container.level()));
    put_u64_le(w, container.timestamp_ms());
    put_u32_le(w, static_cast<std::uint32_t>(container.children().size()));
    for (const Id& child : container.children()) put_id(w, child);
    put_u64_le(w, container.point_count());
    put_f32s_le(w, container.centroid());
    put_u8(w, container.has_sum() ? 1 : 0);
    if (container.has_sum()) put_f32s_le(w, container.sum());
  }

  put_optional_id(w, index.current_session());
  put_optional_id(w, index.current_document());
  const std::optional<RoutingWeights>& weights = index.routing_weights();
  put_u8(w, weights ? 1 : 0);
  if (weights) put_routing_weights(w, *weights, d);

  if (w.remaining() != 0) internal_error("serialised index smaller than its computed size");
}

std::expected<ByteBuffer, PersistError> to_bytes(const KivIndex& index) {
  const auto size = encoded_size(index);
  if (!size) return std::unexpected(size.error());
  ByteBuffer bytes(*size);
  encode_into(index, bytes.span());
  return bytes;
}

}  // namespace orlo_kiv::persistence
