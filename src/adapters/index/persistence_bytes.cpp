// Allocation of ByteBuffer: heap memory for small buffers, an anonymous
// mapping with huge pages requested for large ones.
#include "adapters/index/persistence_bytes.h"

#include <sys/mman.h>

#include <new>
#include <utility>

namespace orlo_kiv {
namespace {

// From here on a buffer is mapped. Below it the heap is cheaper, and keeps
// the buffer visible to the address sanitizer's bounds checks.
constexpr std::size_t kMappedBufferThreshold = std::size_t{4} << 20;

}  // namespace

ByteBuffer::ByteBuffer(std::size_t size) : size_(size) {
  if (size < kMappedBufferThreshold) {
    heap_ = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    return;
  }
  void* mapping = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  ::madvise(mapping, size, MADV_HUGEPAGE);  // a hint: without huge pages the buffer still works
#endif
  mapping_ = static_cast<std::uint8_t*>(mapping);
  mapping_length_ = size;
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : heap_(std::move(other.heap_)),
      mapping_(std::exchange(other.mapping_, nullptr)),
      mapping_length_(std::exchange(other.mapping_length_, 0)),
      size_(std::exchange(other.size_, 0)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  ByteBuffer old(std::move(*this));
  heap_ = std::move(other.heap_);
  mapping_ = std::exchange(other.mapping_, nullptr);
  mapping_length_ = std::exchange(other.mapping_length_, 0);
  size_ = std::exchange(other.size_, 0);
  return *this;
}

ByteBuffer::~ByteBuffer() {
  if (mapping_ != nullptr) ::munmap(mapping_, mapping_length_);
}

}  // namespace orlo_kiv
