// Reading an index from its binary form.
//
// Reading is strictly sequential and every field is bounds-checked before it
// is read, so any bytes at all end in an index or a PersistError. Memory is
// reserved only for what the remaining bytes can actually hold: counts in the
// data are never trusted as sizes. Each vector is copied once, from the input
// straight into the container that keeps it.
#include <algorithm>
#include <cstring>

#include "adapters/index/persistence.h"

namespace orlo_kiv::persistence {
namespace {

constexpr std::uint8_t kLevelCount = 4;
// Offsets of the header fields that follow the magic and the version.
constexpr std::size_t kDimensionalityOffset = 8;
constexpr std::size_t kContainerCountOffset = 12;
constexpr std::size_t kRootIdOffset = 20;

// The one error of every read that runs past the end of the data.
std::unexpected<PersistError> truncated() { return std::unexpected(PersistError::truncated()); }

// The header's checks run in a fixed order: enough bytes for the magic, the
// magic, enough for the version, the version, enough for the whole header. So
// short data with a wrong magic or version reports that, not its length.
std::expected<void, PersistError> check_header(std::span<const std::uint8_t> data) {
  if (auto refused = preamble_error(data)) return std::unexpected(std::move(*refused));
  if (data.size() < kHeaderSize) return truncated();
  return {};
}

// A container from decoded fields. A chunk whose sum has the centroid's exact
// bits (every chunk the index itself stored) keeps one vector for both.
Container build_container(const Id& id, ContainerLevel level, std::uint64_t timestamp_ms,
                          std::vector<Id> children, std::uint64_t point_count,
                          const std::uint8_t* centroid_bytes, const std::uint8_t* sum_bytes,
                          std::size_t dimensionality) {
  std::vector<float> centroid(dimensionality);
  decode_f32s_le(centroid_bytes, centroid);
  const std::size_t vector_bytes = dimensionality * sizeof(float);
  if (level == ContainerLevel::Chunk && sum_bytes != nullptr &&
      std::memcmp(sum_bytes, centroid_bytes, vector_bytes) == 0) {
    Container chunk = Container::chunk(id, std::move(centroid), timestamp_ms);
    chunk.set_point_count(point_count);
    chunk.mutable_children() = std::move(children);
    return chunk;
  }
  std::optional<std::vector<float>> sum;
  if (sum_bytes != nullptr) {
    sum.emplace(dimensionality);
    decode_f32s_le(sum_bytes, *sum);
  }
  // Subspaces are not stored: every non-chunk container starts a fresh one.
  std::unique_ptr<Subspace> subspace;
  if (level != ContainerLevel::Chunk) subspace = std::make_unique<Subspace>(dimensionality);
  return Container(id, level, timestamp_ms, std::move(children), point_count, std::move(centroid),
                   std::move(sum), std::move(subspace));
}

// Reads one record and stores it in `index`, replacing any container of the
// same id.
std::expected<void, PersistError> read_record(ByteReader& r, KivIndex& index) {
  const std::size_t d = index.dimensionality();
  Id id;
  std::uint8_t level_byte = 0;
  if (!get_id(r, id) || !get_u8(r, level_byte)) return truncated();
  // The level is checked before anything after it is read.
  if (level_byte >= kLevelCount) return std::unexpected(PersistError::invalid_level(level_byte));
  const auto level = static_cast<ContainerLevel>(level_byte);

  std::uint64_t timestamp_ms = 0;
  std::uint32_t child_count = 0;
  if (!get_u64_le(r, timestamp_ms) || !get_u32_le(r, child_count)) return truncated();
  // The children's bytes are claimed before the list is allocated, so a count
  // larger than the data reserves nothing.
  const std::uint8_t* child_bytes = nullptr;
  if (!r.advance(std::size_t{child_count} * sizeof(Id), child_bytes)) return truncated();
  std::vector<Id> children(child_count);
  for (std::size_t i = 0; i < children.size(); ++i) {
    children[i] = decode_id(child_bytes + i * sizeof(Id));
  }

  const std::size_t vector_bytes = d * sizeof(float);
  std::uint64_t point_count = 0;
  const std::uint8_t* centroid_bytes = nullptr;
  std::uint8_t sum_flag = 0;
  if (!get_u64_le(r, point_count) || !r.advance(vector_bytes, centroid_bytes) ||
      !get_u8(r, sum_flag)) {
    return truncated();
  }
  // Only the value 1 announces a sum; any other flag means none.
  const std::uint8_t* sum_bytes = nullptr;
  if (sum_flag == 1 && !r.advance(vector_bytes, sum_bytes)) return truncated();

  index.containers().insert_or_assign(
      id, build_container(id, level, timestamp_ms, std::move(children), point_count, centroid_bytes,
                          sum_bytes, d));
  return {};
}

}  // namespace

std::optional<PersistError> preamble_error(std::span<const std::uint8_t> prefix) {
  if (prefix.size() < kMagic.size()) return std::nullopt;
  if (!std::equal(kMagic.begin(), kMagic.end(), prefix.begin())) {
    return PersistError::invalid_magic();
  }
  if (prefix.size() < kPreambleSize) return std::nullopt;
  const std::uint32_t version = decode_u32_le(prefix.data() + kMagic.size());
  if (version != kVersion) return PersistError::unsupported_version(version);
  return std::nullopt;
}

std::expected<KivIndex, PersistError> from_bytes(std::span<const std::uint8_t> data) {
  if (auto header = check_header(data); !header) return std::unexpected(header.error());

  // The whole header is known to be present: its fields are decoded in place.
  const std::uint8_t* header = data.data();
  const std::uint32_t dimensionality = decode_u32_le(header + kDimensionalityOffset);
  const std::uint64_t container_count = decode_u64_le(header + kContainerCountOffset);
  const std::optional<Id> root_id = decode_optional_id(header + kRootIdOffset);
  ByteReader r(data.subspan(kHeaderSize));

  KivIndex index = KivIndex::cosine(dimensionality);
  // Reserve only as many slots as records can fit in the rest of the data.
  const std::size_t smallest_record = record_size(0, dimensionality, false);
  const std::uint64_t records_that_fit = r.remaining() / smallest_record;
  index.containers().reserve(
      static_cast<std::size_t>(std::min<std::uint64_t>(container_count, records_that_fit)));
  for (std::uint64_t i = 0; i < container_count; ++i) {
    if (auto record = read_record(r, index); !record) return std::unexpected(record.error());
  }

  std::optional<Id> current_session;
  std::optional<Id> current_document;
  if (!get_optional_id(r, current_session) || !get_optional_id(r, current_document)) {
    return truncated();
  }
  // Data that ends right after the current document is complete: the weights
  // flag is the one optional field, and anything after the weights is ignored.
  std::uint8_t weights_flag = 0;
  if (get_u8(r, weights_flag) && weights_flag == 1) {
    const std::uint8_t* weight_bytes;
    if (!r.advance(std::size_t{dimensionality} * sizeof(float), weight_bytes)) return truncated();
    RoutingWeights weights(dimensionality, RoutingConfig{});
    weights.replace_from_bytes({weight_bytes, std::size_t{dimensionality} * sizeof(float)});
    index.set_routing_weights(std::move(weights));
  }

  index.set_root_id(root_id);
  index.set_current_session(current_session);
  index.set_current_document(current_document);
  return index;
}

}  // namespace orlo_kiv::persistence
