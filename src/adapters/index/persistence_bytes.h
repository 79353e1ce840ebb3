// Little-endian fixed-width fields for the index format: numbers are stored
// least-significant byte first, reals as their IEEE 754 single-precision bits,
// with no alignment.
//
// put_* write at a ByteWriter's cursor and advance; the writer's span is sized
// in advance, so running past its end is a broken invariant (internal error).
// get_* check that enough bytes remain, then read and advance; they return
// false, and leave the cursor where it was, when the data ends early, so their
// result must be used. The unchecked decode_* read a field in place and are
// for bytes whose length was checked before. Nothing is reserved for a field
// until the bytes that hold it are known to be there.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>

#include "core/id.h"
#include "core/internal_error.h"

namespace orlo_kiv {

// Unchecked encoders and decoders of one field at `p`. Explicit shifts have
// no undefined behaviour and compile to a single load or store.
inline void encode_u32_le(std::uint8_t* p, std::uint32_t v) noexcept {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline void encode_u64_le(std::uint8_t* p, std::uint64_t v) noexcept {
  encode_u32_le(p, static_cast<std::uint32_t>(v));
  encode_u32_le(p + 4, static_cast<std::uint32_t>(v >> 32));
}

inline std::uint32_t decode_u32_le(const std::uint8_t* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::uint64_t decode_u64_le(const std::uint8_t* p) noexcept {
  return static_cast<std::uint64_t>(decode_u32_le(p)) |
         (static_cast<std::uint64_t>(decode_u32_le(p + 4)) << 32);
}

inline Id decode_id(const std::uint8_t* p) noexcept {
  Id id;
  std::memcpy(id.bytes.data(), p, id.bytes.size());
  return id;
}

// 16 zero bytes read as absent.
inline std::optional<Id> decode_optional_id(const std::uint8_t* p) noexcept {
  const Id id = decode_id(p);
  return id.is_zero() ? std::nullopt : std::optional<Id>(id);
}

// `count` reals from/to their little-endian bytes: one copy on little-endian
// hosts, a field at a time elsewhere.
inline void encode_f32s_le(std::uint8_t* p, std::span<const float> values) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    if (!values.empty()) std::memcpy(p, values.data(), values.size_bytes());
  } else {
    for (const float v : values) {
      encode_u32_le(p, std::bit_cast<std::uint32_t>(v));
      p += 4;
    }
  }
}

inline void decode_f32s_le(const std::uint8_t* p, std::span<float> out) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    if (!out.empty()) std::memcpy(out.data(), p, out.size_bytes());
  } else {
    for (float& v : out) {
      v = std::bit_cast<float>(decode_u32_le(p));
      p += 4;
    }
  }
}

// A fixed-size output area filled front to back.
class ByteWriter {
 public:
  explicit ByteWriter(std::span<std::uint8_t> out) noexcept : out_(out) {}

  // The next `n` bytes, now counted as written. Internal error past the end.
  std::uint8_t* advance(std::size_t n) {
    if (n > remaining()) internal_error("serialised index outgrew its computed size");
    std::uint8_t* p = out_.data() + written_;
    written_ += n;
    return p;
  }
  std::size_t written() const noexcept { return written_; }
  std::size_t remaining() const noexcept { return out_.size() - written_; }

 private:
  std::span<std::uint8_t> out_;
  std::size_t written_ = 0;
};

inline void put_u8(ByteWriter& w, std::uint8_t v) { *w.advance(1) = v; }
inline void put_u32_le(ByteWriter& w, std::uint32_t v) { encode_u32_le(w.advance(4), v); }
inline void put_u64_le(ByteWriter& w, std::uint64_t v) { encode_u64_le(w.advance(8), v); }
inline void put_id(ByteWriter& w, const Id& id) {
  std::memcpy(w.advance(id.bytes.size()), id.bytes.data(), id.bytes.size());
}
// 16 zero bytes stand for an absent id.
inline void put_optional_id(ByteWriter& w, const std::optional<Id>& id) {
  put_id(w, id.value_or(Id{}));
}
inline void put_f32s_le(ByteWriter& w, std::span<const float> values) {
  encode_f32s_le(w.advance(values.size_bytes()), values);
}

// A read cursor over borrowed bytes.
class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> in) noexcept : in_(in) {}

  std::size_t remaining() const noexcept { return in_.size() - read_; }
  std::size_t position() const noexcept { return read_; }

  // Points `out` at the next `n` bytes and moves past them; false (nothing
  // moved) when fewer remain.
  [[nodiscard]] bool advance(std::size_t n, const std::uint8_t*& out) noexcept {
    if (n > remaining()) return false;
    out = in_.data() + read_;
    read_ += n;
    return true;
  }

 private:
  std::span<const std::uint8_t> in_;
  std::size_t read_ = 0;
};

[[nodiscard]] inline bool get_u8(ByteReader& r, std::uint8_t& out) noexcept {
  const std::uint8_t* p;
  if (!r.advance(1, p)) return false;
  out = *p;
  return true;
}

[[nodiscard]] inline bool get_u32_le(ByteReader& r, std::uint32_t& out) noexcept {
  const std::uint8_t* p;
  if (!r.advance(4, p)) return false;
  out = decode_u32_le(p);
  return true;
}

[[nodiscard]] inline bool get_u64_le(ByteReader& r, std::uint64_t& out) noexcept {
  const std::uint8_t* p;
  if (!r.advance(8, p)) return false;
  out = decode_u64_le(p);
  return true;
}

[[nodiscard]] inline bool get_id(ByteReader& r, Id& out) noexcept {
  const std::uint8_t* p;
  if (!r.advance(out.bytes.size(), p)) return false;
  out = decode_id(p);
  return true;
}

// 16 zero bytes read as absent.
[[nodiscard]] inline bool get_optional_id(ByteReader& r, std::optional<Id>& out) noexcept {
  const std::uint8_t* p;
  if (!r.advance(sizeof(Id), p)) return false;
  out = decode_optional_id(p);
  return true;
}

// An uninitialised byte array of a fixed size: the serialised form of an index
// before it is written, and a file's content after it is read. Large buffers
// are mapped with transparent huge pages requested, which makes filling a
// gigabyte several times cheaper than faulting it in 4 KiB pages; small ones
// come from the heap. Throws std::bad_alloc when memory is exhausted.
class ByteBuffer {
 public:
  ByteBuffer() noexcept = default;
  explicit ByteBuffer(std::size_t size);
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer();

  std::span<std::uint8_t> span() noexcept { return {data(), size_}; }
  std::span<const std::uint8_t> span() const noexcept { return {data(), size_}; }
  std::size_t size() const noexcept { return size_; }
  // Keeps the first `size` bytes as the content (`size` <= the current size).
  void shrink(std::size_t size) noexcept { size_ = size; }

 private:
  std::uint8_t* data() const noexcept { return mapping_ != nullptr ? mapping_ : heap_.get(); }

  std::unique_ptr<std::uint8_t[]> heap_;
  std::uint8_t* mapping_ = nullptr;  // owned anonymous mapping of mapping_length_ bytes
  std::size_t mapping_length_ = 0;
  std::size_t size_ = 0;
};

}  // namespace orlo_kiv
