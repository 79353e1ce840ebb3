#include "core/id.h"

#include <atomic>
#include <cstring>
#include <random>

#include "core/clock.h"

namespace orlo_kiv {
namespace {

constexpr std::uint64_t kIdMixMultiplier = 6364136223846793005ULL;

std::atomic<std::uint64_t> id_counter{0};

void put_u64_be(std::uint8_t* out, std::uint64_t value, int byte_count) noexcept {
  for (int i = 0; i < byte_count; ++i) {
    out[i] = static_cast<std::uint8_t>(value >> (8 * (byte_count - 1 - i)));
  }
}

int hex_value(std::uint8_t c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::uint64_t load_u64(const std::uint8_t* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

std::uint64_t mix64(std::uint64_t x) noexcept {
  // Finaliser of splitmix64: every input bit affects every output bit.
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

}  // namespace

bool Id::is_zero() const noexcept {
  for (std::uint8_t b : bytes) {
    if (b != 0) return false;
  }
  return true;
}

Id make_id(std::uint64_t ms, std::uint64_t counter) noexcept {
  Id id;
  put_u64_be(id.bytes.data(), ms, 6);
  put_u64_be(id.bytes.data() + 6, counter, 2);
  put_u64_be(id.bytes.data() + 8, ms * kIdMixMultiplier + counter, 8);
  return id;
}

Id new_id() {
  const std::uint64_t ms = now_ms();
  const std::uint64_t counter = id_counter.fetch_add(1, std::memory_order_seq_cst);
  return make_id(ms, counter);
}

void write_hex(const Id& id, char* out) noexcept {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < id.bytes.size(); ++i) {
    out[2 * i] = kDigits[id.bytes[i] >> 4];
    out[2 * i + 1] = kDigits[id.bytes[i] & 0xF];
  }
}

std::string to_hex(const Id& id) {
  std::string text(kHexIdLength, '0');
  write_hex(id, text.data());
  return text;
}

std::string to_string(const IdParseError& error) {
  if (error.kind == IdParseError::Kind::WrongLength) {
    return "ID must be 32 hex characters, got " + std::to_string(error.length);
  }
  std::string text = "Invalid hex character: ";
  const std::uint8_t c = error.character;
  if (c < 0x80) {
    text.push_back(static_cast<char>(c));
  } else {  // the Latin-1 character of that value, encoded as UTF-8
    text.push_back(static_cast<char>(0xC0 | (c >> 6)));
    text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
  return text;
}

std::expected<Id, IdParseError> parse_hex(std::string_view text) noexcept {
  if (text.size() != kHexIdLength) {
    return std::unexpected(IdParseError{IdParseError::Kind::WrongLength, text.size(), 0});
  }
  Id id;
  for (std::size_t i = 0; i < id.bytes.size(); ++i) {
    const auto high_char = static_cast<std::uint8_t>(text[2 * i]);
    const int high = hex_value(high_char);
    if (high < 0) {
      return std::unexpected(IdParseError{IdParseError::Kind::InvalidCharacter, 0, high_char});
    }
    const auto low_char = static_cast<std::uint8_t>(text[2 * i + 1]);
    const int low = hex_value(low_char);
    if (low < 0) {
      return std::unexpected(IdParseError{IdParseError::Kind::InvalidCharacter, 0, low_char});
    }
    id.bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return id;
}

IdHash::IdHash() {
  static thread_local std::mt19937_64 keys{std::random_device{}()};
  key_ = keys();
}

std::size_t IdHash::operator()(const Id& id) const noexcept {
  const std::uint64_t lo = load_u64(id.bytes.data());
  const std::uint64_t hi = load_u64(id.bytes.data() + 8);
  return static_cast<std::size_t>(mix64(lo ^ key_) ^ mix64(hi + key_));
}

}  // namespace orlo_kiv
