// Reading an index from its binary form.
//
// Reading is strictly sequential and every field is bounds-checked before it
// is read, so any bytes at all end in an index or a PersistError. Memory is
// reserved only for what the remaining bytes can actually hold: counts in the
// data are never trusted as sizes. Records are read first, as positions in the
// input; the map then copies each vector once, straight into its slab, in an
// order that keeps children together (ContainerMap::load).
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

// Reads one record. Its vectors and children stay in `data`; nothing is
// stored until every record has been read.
std::expected<ContainerMap::Record, PersistError> read_record(ByteReader& r, std::size_t d) {
  ContainerMap::Record record{};
  std::uint8_t level_byte = 0;
  if (!get_id(r, record.id) || !get_u8(r, level_byte)) return truncated();
  // The level is checked before anything after it is read.
  if (level_byte >= kLevelCount) return std::unexpected(PersistError::invalid_level(level_byte));
  record.level = static_cast<ContainerLevel>(level_byte);

  if (!get_u64_le(r, record.timestamp_ms) || !get_u32_le(r, record.child_count)) {
    return truncated();
  }
  // The children stay in the data until the map interns them: a count larger
  // than the data reserves nothing.
  if (!r.advance(std::size_t{record.child_count} * sizeof(Id), record.children)) {
    return truncated();
  }

  const std::size_t vector_bytes = d * sizeof(float);
  std::uint8_t sum_flag = 0;
  if (!get_u64_le(r, record.point_count) || !r.advance(vector_bytes, record.centroid) ||
      !get_u8(r, sum_flag)) {
    return truncated();
  }
  // Only the value 1 announces a sum; any other flag means none.
  if (sum_flag == 1 && !r.advance(vector_bytes, record.sum)) return truncated();
  return record;
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

  // Reserve only as many records as can fit in the rest of the data.
  const std::size_t smallest_record = record_size(0, dimensionality, false);
  const std::uint64_t records_that_fit = r.remaining() / smallest_record;
  std::vector<ContainerMap::Record> records;
  records.reserve(
      static_cast<std::size_t>(std::min<std::uint64_t>(container_count, records_that_fit)));
  for (std::uint64_t i = 0; i < container_count; ++i) {
    auto record = read_record(r, dimensionality);
    if (!record) return std::unexpected(record.error());
    records.push_back(*record);
  }

  std::optional<Id> current_session;
  std::optional<Id> current_document;
  if (!get_optional_id(r, current_session) || !get_optional_id(r, current_document)) {
    return truncated();
  }
  // Data that ends right after the current document is complete: the weights
  // flag is the one optional field, and anything after the weights is ignored.
  std::uint8_t weights_flag = 0;
  std::optional<RoutingWeights> weights;
  if (get_u8(r, weights_flag) && weights_flag == 1) {
    const std::uint8_t* weight_bytes;
    if (!r.advance(std::size_t{dimensionality} * sizeof(float), weight_bytes)) return truncated();
    weights.emplace(dimensionality, RoutingConfig{});
    weights->replace_from_bytes({weight_bytes, std::size_t{dimensionality} * sizeof(float)});
  }

  KivIndex index = KivIndex::cosine(dimensionality);
  index.containers().load(records, root_id, decode_f32s_le);
  index.set_routing_weights(std::move(weights));
  index.set_root_id(root_id);
  index.set_current_session(current_session);
  index.set_current_document(current_document);
  return index;
}

}  // namespace orlo_kiv::persistence
