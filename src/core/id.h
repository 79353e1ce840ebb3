// Identifiers of containers: 16 bytes, compared and hashed as bytes.
//
// Generated ids hold the creation millisecond (bytes 0..5, big-endian), the low
// 16 bits of a process-wide counter (bytes 6..7) and a 64-bit mix of both
// (bytes 8..15), so they are unique within the process and sort by creation
// time. Ids supplied by callers may hold any 16 bytes.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace orlo_kiv {

struct Id {
  std::array<std::uint8_t, 16> bytes{};

  friend bool operator==(const Id&, const Id&) = default;
  friend auto operator<=>(const Id&, const Id&) = default;

  bool is_zero() const noexcept;
};

// Builds the id for clock reading `ms` and counter value `counter` (pure).
Id make_id(std::uint64_t ms, std::uint64_t counter) noexcept;

// A fresh id from the wall clock and the process-wide counter.
Id new_id();

inline constexpr std::size_t kHexIdLength = 32;

// Writes the 32 lower-case hex digits of `id`, byte 0 first, into `out`.
void write_hex(const Id& id, char* out) noexcept;
std::string to_hex(const Id& id);

struct IdParseError {
  enum class Kind { WrongLength, InvalidCharacter };
  Kind kind;
  std::size_t length = 0;      // WrongLength: the text's length in bytes
  std::uint8_t character = 0;  // InvalidCharacter: the offending byte
};

// "ID must be 32 hex characters, got {n}" or "Invalid hex character: {c}", where
// {c} is the byte shown as the character with that code point (UTF-8 encoded).
std::string to_string(const IdParseError& error);

// Parses 32 hex digits of either case; the first non-hex byte, in pair order,
// is the one reported.
std::expected<Id, IdParseError> parse_hex(std::string_view text) noexcept;

// Hashes ids with a key chosen per map, so that caller-chosen ids cannot be
// crafted to collide in every index.
class IdHash {
 public:
  IdHash();  // draws a fresh random key
  std::size_t operator()(const Id& id) const noexcept;

 private:
  std::uint64_t key_;
};

}  // namespace orlo_kiv
