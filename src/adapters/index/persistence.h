// Saving and loading an index in its binary form.
//
// The form holds every container of the map, the dimensionality, the root,
// the current session and document, and the routing weights when the index has
// them. The configuration, subspaces and consolidation state are not stored: a
// loaded index has the default configuration and fresh, empty subspaces.
//
// Layout (every integer unsigned little-endian, every real an f32, no padding):
//   header   "KIV\0", version u32 = 1, dimensionality u32, container count u64,
//            root id (16 bytes; all zero = absent)
//   record   id (16), level u8, timestamp_ms u64, child count u32, children
//            (16 each), point_count u64, centroid (d reals), sum flag u8
//            (1 = a sum of d reals follows)
//   trailer  current session id (16), current document id (16), weights flag
//            u8 (1 = d routing weights follow)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "adapters/index/kiv.h"
#include "adapters/index/persistence_bytes.h"
#include "adapters/index/persistence_error.h"
#include "adapters/index/persistence_file.h"

namespace orlo_kiv::persistence {

inline constexpr std::array<std::uint8_t, 4> kMagic = {'K', 'I', 'V', 0};
inline constexpr std::uint32_t kVersion = 1;
// The magic and the version: the bytes that decide whether data is in this format.
inline constexpr std::size_t kPreambleSize = 8;
inline constexpr std::size_t kHeaderSize = 36;
// Current session, current document and the weights flag.
inline constexpr std::size_t kTrailerSize = 33;
// A record with no children, no sum and no vector values.
inline constexpr std::size_t kRecordBaseSize = 38;

// Bytes of one record: 38 + 16 per child + 4 per value of the centroid and sum.
constexpr std::size_t record_size(std::size_t child_count, std::size_t dimensionality,
                                  bool has_sum) noexcept {
  return kRecordBaseSize + 16 * child_count + (has_sum ? 8 : 4) * dimensionality;
}

// --- Writing -------------------------------------------------------------------

// The exact size of the serialised form of `index`. Fails (Io) when the index
// cannot be represented: a dimensionality or a children list beyond 32 bits.
std::expected<std::size_t, PersistError> encoded_size(const KivIndex& index);

// Writes the serialised form into `out`, which must be exactly encoded_size()
// bytes long; records follow the container map's iteration order. Every vector
// of the index must hold `dimensionality` values (an internal error otherwise).
void encode_into(const KivIndex& index, std::span<std::uint8_t> out);

// encoded_size, then encode_into a new buffer.
std::expected<ByteBuffer, PersistError> to_bytes(const KivIndex& index);

// --- Reading -------------------------------------------------------------------

// The error that data starting with `prefix` gives whatever follows: a wrong
// magic (once 4 bytes are there) or version (once 8 are). Nothing while the
// prefix is still too short to tell.
std::optional<PersistError> preamble_error(std::span<const std::uint8_t> prefix);

// Decodes `data` and builds a new index from it, with the default
// configuration. Any bytes at all end either in an index or in an error: data
// that ends early is "failed to fill whole buffer", whatever counts the header
// claims; nothing is reserved beyond what the remaining bytes can hold.
// Trailing bytes after the last field are ignored. The tree is taken as it
// is: dangling, repeated or cyclic references and unexpected levels are kept,
// and a repeated container id keeps the later record.
std::expected<KivIndex, PersistError> from_bytes(std::span<const std::uint8_t> data);

// --- Files -----------------------------------------------------------------------

// Serialises `index` and replaces the file at `path` with it, atomically and
// durably (see persistence_file.h). The index is not changed. A blocking
// system call interrupted by a signal ends the save with Interrupted when
// `interrupted` says so.
std::expected<void, PersistError> save(const KivIndex& index, std::string_view path,
                                       InterruptCheck interrupted = nullptr);

// Reads the whole file at `path`, then decodes it as from_bytes does.
// Interruptions as for save.
std::expected<KivIndex, PersistError> load(std::string_view path,
                                           InterruptCheck interrupted = nullptr);

}  // namespace orlo_kiv::persistence
