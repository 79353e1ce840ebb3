// Fixed-width float vectors stored back to back, addressed by slot number.
//
// Slots are appended in order and never move: the slab grows by adding blocks,
// each twice the size of the one before, so slot s lives in block
// bit_width(s / base + 1) - 1 and growing never copies a vector or changes an
// address. Vectors appended one after another are contiguous in memory within a
// block, so scoring a run of them is one streaming pass. Large blocks come
// straight from the operating system, aligned to huge pages, and each whole
// 2 MB of them that holds vectors is offered transparent huge pages (where
// the system supports them; plain pages otherwise).
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

namespace orlo_kiv {

class VectorSlab {
 public:
  using Slot = std::uint32_t;
  // Most slots a slab holds; slot numbers fit in 28 bits.
  static constexpr std::size_t kMaxSlots = std::size_t{1} << 28;

  explicit VectorSlab(std::size_t width) noexcept;
  VectorSlab(VectorSlab&& other) noexcept;
  VectorSlab& operator=(VectorSlab&& other) noexcept;
  VectorSlab(const VectorSlab&) = delete;
  VectorSlab& operator=(const VectorSlab&) = delete;
  ~VectorSlab();

  // Floats per vector.
  std::size_t width() const noexcept { return width_; }
  // Slots appended so far.
  std::size_t size() const noexcept { return size_; }

  // Appends a copy of `values` (exactly width() floats) and returns its slot.
  // Throws std::bad_alloc, leaving the slab unchanged, when memory runs out.
  Slot append(std::span<const float> values);

  // Appends a slot with unspecified contents, to be written through at().
  Slot append_uninitialized();

  // Prepares for `count` slots in all, which the caller is about to fill in
  // order: their memory is reserved, and backed by huge pages where whole.
  void reserve(std::size_t count);

  float* at(Slot slot) noexcept { return block_start(slot); }
  const float* at(Slot slot) const noexcept { return block_start(slot); }
  std::span<const float> vector(Slot slot) const noexcept { return {at(slot), width_}; }

  // Keeps the first `count` slots; the memory of the rest goes back to the
  // system where it can (whole blocks, and the unused pages of mapped ones).
  void truncate(std::size_t count) noexcept;

 private:
  static constexpr std::size_t kMaxBlocks = 29;

  std::size_t block_of(Slot slot) const noexcept {
    return static_cast<std::size_t>(std::bit_width((std::size_t{slot} >> base_shift_) + 1)) - 1;
  }
  std::size_t first_slot_of(std::size_t block) const noexcept {
    return ((std::size_t{1} << block) - 1) << base_shift_;
  }
  std::size_t slots_in(std::size_t block) const noexcept {
    return std::size_t{1} << (block + base_shift_);
  }
  float* block_start(Slot slot) const noexcept {
    const std::size_t block = block_of(slot);
    return blocks_[block] + (slot - first_slot_of(block)) * width_;
  }
  void add_block();
  void release_blocks() noexcept;
  // Asks for huge pages for every whole 2 MB that the first `end` slots fill.
  void advise_through(std::size_t end) noexcept;
  // Makes the memory of the first `end` slots resident, a run of pages at a time.
  void populate_through(std::size_t end) noexcept;

  std::size_t width_;
  std::size_t base_shift_;  // the first block holds 2^base_shift_ slots
  std::size_t size_ = 0;
  std::size_t block_count_ = 0;
  std::array<float*, kMaxBlocks> blocks_{};
  // The block, and the bytes of it, that advise_through has dealt with.
  std::size_t advise_block_ = 0;
  std::size_t advised_bytes_ = 0;
  // The block, and the bytes of it, that populate_through has made resident.
  std::size_t populate_block_ = 0;
  std::size_t populated_bytes_ = 0;
};

}  // namespace orlo_kiv
