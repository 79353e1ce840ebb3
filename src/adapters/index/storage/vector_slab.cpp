#include "adapters/index/storage/vector_slab.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace orlo_kiv {
namespace {

// The first block holds at least this many bytes (and at least one vector).
constexpr std::size_t kFirstBlockBytes = std::size_t{64} << 10;
// Blocks at least this large are mapped from the system directly: their pages
// become resident only when written, and they go back to the system whole.
constexpr std::size_t kMappedBlockBytes = std::size_t{4} << 20;
constexpr std::size_t kAlignment = 64;
constexpr std::size_t kPageBytes = 4096;
constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
// Mapped memory is made resident this many bytes at a time, ahead of the
// appends that fill it.
constexpr std::size_t kPopulateBytes = std::size_t{256} << 10;

std::size_t block_bytes(std::size_t slots, std::size_t width) noexcept {
  return std::max<std::size_t>(slots * width * sizeof(float), kAlignment);
}

// A mapped block starts on a huge-page boundary, so that each whole 2 MB of it
// can become one huge page.
float* allocate_block(std::size_t bytes) {
  if (bytes >= kMappedBlockBytes) {
    const std::size_t mapped = bytes + kHugePageBytes;
    void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    char* const start = static_cast<char*>(p);
    const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(start) % kHugePageBytes;
    const std::size_t head = misalignment == 0 ? 0 : kHugePageBytes - misalignment;
    char* const aligned = start + head;
    if (head != 0) munmap(start, head);
    const std::size_t tail = mapped - head - bytes;
    if (tail != 0) munmap(aligned + bytes, tail);
    return reinterpret_cast<float*>(aligned);
  }
  return static_cast<float*>(::operator new (bytes, std::align_val_t{kAlignment}));
}

// Asks for `bytes` at `region` (huge-page aligned) to be backed by
// transparent huge pages. Only a wish: where the system has none to give, or
// does not do this at all, the pages stay small and nothing else changes.
void advise_huge_pages(void* region, std::size_t bytes) noexcept {
  madvise(region, bytes, MADV_HUGEPAGE);
}

void free_block(float* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (bytes >= kMappedBlockBytes) {
    munmap(block, bytes);
  } else {
    ::operator delete (block, std::align_val_t{kAlignment});
  }
}

// log2 of the slots of the first block: a power of two holding at least
// kFirstBlockBytes.
std::size_t first_block_shift(std::size_t width) noexcept {
  const std::size_t vector_bytes = std::max<std::size_t>(width * sizeof(float), 1);
  const std::size_t wanted = std::max<std::size_t>(kFirstBlockBytes / vector_bytes, 1);
  return static_cast<std::size_t>(std::bit_width(wanted - 1));
}

}  // namespace

VectorSlab::VectorSlab(std::size_t width) noexcept
    : width_(width), base_shift_(first_block_shift(width)) {}

VectorSlab::VectorSlab(VectorSlab&& other) noexcept
    : width_(other.width_),
      base_shift_(other.base_shift_),
      size_(std::exchange(other.size_, 0)),
      block_count_(std::exchange(other.block_count_, 0)),
      blocks_(std::exchange(other.blocks_, {})),
      advise_block_(std::exchange(other.advise_block_, 0)),
      advised_bytes_(std::exchange(other.advised_bytes_, 0)),
      populate_block_(std::exchange(other.populate_block_, 0)),
      populated_bytes_(std::exchange(other.populated_bytes_, 0)) {}

VectorSlab& VectorSlab::operator=(VectorSlab&& other) noexcept {
  if (this != &other) {
    release_blocks();
    width_ = other.width_;
    base_shift_ = other.base_shift_;
    size_ = std::exchange(other.size_, 0);
    block_count_ = std::exchange(other.block_count_, 0);
    blocks_ = std::exchange(other.blocks_, {});
    advise_block_ = std::exchange(other.advise_block_, 0);
    advised_bytes_ = std::exchange(other.advised_bytes_, 0);
    populate_block_ = std::exchange(other.populate_block_, 0);
    populated_bytes_ = std::exchange(other.populated_bytes_, 0);
  }
  return *this;
}

VectorSlab::~VectorSlab() { release_blocks(); }

void VectorSlab::release_blocks() noexcept {
  for (std::size_t b = 0; b < block_count_; ++b) {
    free_block(blocks_[b], block_bytes(slots_in(b), width_));
    blocks_[b] = nullptr;
  }
  block_count_ = 0;
  advise_block_ = 0;
  advised_bytes_ = 0;
  populate_block_ = 0;
  populated_bytes_ = 0;
}

void VectorSlab::add_block() {
  if (block_count_ == kMaxBlocks) throw std::bad_alloc();
  blocks_[block_count_] = allocate_block(block_bytes(slots_in(block_count_), width_));
  ++block_count_;
}

VectorSlab::Slot VectorSlab::append_uninitialized() {
  if (size_ >= kMaxSlots) throw std::bad_alloc();
  const std::size_t slot = size_;
  if (block_of(static_cast<Slot>(slot)) >= block_count_) add_block();
  advise_through(slot);
  populate_through(slot + 1);
  ++size_;
  return static_cast<Slot>(slot);
}

void VectorSlab::reserve(std::size_t count) {
  count = std::min(count, kMaxSlots);
  while (block_count_ < kMaxBlocks && first_slot_of(block_count_) < count) add_block();
  advise_through(count);
}

VectorSlab::Slot VectorSlab::append(std::span<const float> values) {
  const Slot slot = append_uninitialized();
  if (width_ != 0) std::memcpy(at(slot), values.data(), width_ * sizeof(float));
  return slot;
}

void VectorSlab::truncate(std::size_t count) noexcept {
  if (count >= size_) return;
  size_ = count;
  // Populating again what is still resident costs little; start over.
  populate_block_ = 0;
  populated_bytes_ = 0;
  while (block_count_ > 0 && first_slot_of(block_count_ - 1) >= count) {
    --block_count_;
    free_block(blocks_[block_count_], block_bytes(slots_in(block_count_), width_));
    blocks_[block_count_] = nullptr;
  }
  if (block_count_ == 0) {
    advise_block_ = 0;
    advised_bytes_ = 0;
    return;
  }
  const std::size_t last = block_count_ - 1;
  const std::size_t bytes = block_bytes(slots_in(last), width_);
  const std::size_t used = (count - first_slot_of(last)) * width_ * sizeof(float);
  // Regions past the end are advised again once they are filled again.
  if (advise_block_ >= last) {
    advise_block_ = last;
    advised_bytes_ = std::min(advised_bytes_, used / kHugePageBytes * kHugePageBytes);
  }
  if (bytes < kMappedBlockBytes) return;
  // Give the pages past the last kept vector back to the system.
  const std::size_t page = kPageBytes;
  const std::size_t from = (used + page - 1) / page * page;
  if (from < bytes) {
    madvise(reinterpret_cast<char*>(blocks_[last]) + from, bytes - from, MADV_DONTNEED);
  }
}

void VectorSlab::populate_through(std::size_t end) noexcept {
  // Appending one vector at a time into fresh mapped memory would take a page
  // fault every page or two; faulting in a run of pages with one call costs a
  // fraction of that. The pages made resident early are at most one run past
  // the last vector.
  if (end == 0) return;
  const std::size_t block = block_of(static_cast<Slot>(end - 1));
  const std::size_t bytes = block_bytes(slots_in(block), width_);
  if (bytes < kMappedBlockBytes) return;
  if (block != populate_block_) {
    populate_block_ = block;
    populated_bytes_ = 0;
  }
  const std::size_t filled = (end - first_slot_of(block)) * width_ * sizeof(float);
  if (filled <= populated_bytes_) return;
  const std::size_t upto =
      std::min(bytes, (filled + kPopulateBytes - 1) / kPopulateBytes * kPopulateBytes);
  // Only a hint: where the system cannot, pages fault in one by one as before.
  madvise(reinterpret_cast<char*>(blocks_[block]) + populated_bytes_, upto - populated_bytes_,
          MADV_POPULATE_WRITE);
  populated_bytes_ = upto;
}

void VectorSlab::advise_through(std::size_t end) noexcept {
  // Huge pages cut the address translations of a streaming pass over the
  // vectors, but a huge page is resident as a whole once touched. So a 2 MB
  // region is asked for as one only when every byte of it holds a vector:
  // either already written (the system may then merge its pages in the
  // background), or about to be, as in a bulk fill of known size (its pages
  // then come as huge pages from the start, which also saves page faults).
  const std::size_t vector_bytes = width_ * sizeof(float);
  while (advise_block_ < block_count_) {
    const std::size_t block = advise_block_;
    const std::size_t bytes = block_bytes(slots_in(block), width_);
    if (bytes < kMappedBlockBytes) {
      ++advise_block_;
      advised_bytes_ = 0;
      continue;
    }
    // Bytes of this block that hold the first `end` slots.
    const std::size_t first = first_slot_of(block);
    const std::size_t filled =
        end <= first ? 0 : std::min(end - first, slots_in(block)) * vector_bytes;
    const std::size_t whole = filled / kHugePageBytes * kHugePageBytes;
    if (whole > advised_bytes_) {
      advise_huge_pages(reinterpret_cast<char*>(blocks_[block]) + advised_bytes_,
                        whole - advised_bytes_);
      advised_bytes_ = whole;
    }
    if (filled < bytes) return;
    ++advise_block_;
    advised_bytes_ = 0;
  }
}

}  // namespace orlo_kiv
