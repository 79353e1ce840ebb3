// Every id a container map knows, numbered by handle: the ids of its
// containers and the ids that children lists name without a container behind
// them (removed, or never stored).
//
// Per handle the table keeps the id, the timestamp and one packed word: what
// the node is (a container level, or absent) and where its data lives (a vector
// slot for a chunk, a branch number otherwise). Nodes are stored in fixed-size
// blocks, so a reference to an id stays valid while the table grows.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "core/id.h"

namespace orlo_kiv {

using Handle = std::uint32_t;
inline constexpr Handle kNoHandle = 0xFFFFFFFFu;

// The container levels by value, and one more for ids without a container.
enum class NodeKind : std::uint8_t { Global = 0, Session = 1, Document = 2, Chunk = 3, Absent = 4 };

class NodeTable {
 public:
  // Payloads fit in 28 bits; this one means "none".
  static constexpr std::uint32_t kNoPayload = (1u << 28) - 1;
  static constexpr std::size_t kMaxNodes = std::size_t{1} << 31;

  NodeTable() = default;
  NodeTable(NodeTable&& other) noexcept
      : blocks_(std::move(other.blocks_)), size_(std::exchange(other.size_, 0)) {
    other.blocks_.clear();
  }
  NodeTable& operator=(NodeTable&& other) noexcept {
    blocks_ = std::move(other.blocks_);
    other.blocks_.clear();
    size_ = std::exchange(other.size_, 0);
    return *this;
  }

  // Appends an absent node for `id`. Throws std::bad_alloc, changing nothing,
  // when memory runs out.
  Handle add(const Id& id) {
    if (size_ >= kMaxNodes) throw std::bad_alloc();
    if ((size_ >> kBlockShift) == blocks_.size()) {
      blocks_.reserve(blocks_.size() + 1);
      blocks_.push_back(std::make_unique<Block>());
    }
    const Handle h = size_++;
    Block& b = block(h);
    b.ids[h & kBlockMask] = id;
    b.timestamps[h & kBlockMask] = 0;
    b.words[h & kBlockMask] = pack(NodeKind::Absent, kNoPayload, false);
    return h;
  }

  std::size_t size() const noexcept { return size_; }

  const Id& id(Handle h) const noexcept { return block(h).ids[h & kBlockMask]; }
  std::uint64_t timestamp(Handle h) const noexcept { return block(h).timestamps[h & kBlockMask]; }
  void set_timestamp(Handle h, std::uint64_t ms) noexcept {
    block(h).timestamps[h & kBlockMask] = ms;
  }

  NodeKind kind(Handle h) const noexcept { return unpack_kind(word(h)); }
  std::uint32_t payload(Handle h) const noexcept { return word(h) & kNoPayload; }
  bool has_extras(Handle h) const noexcept { return (word(h) >> 31) != 0; }
  void set(Handle h, NodeKind kind, std::uint32_t payload, bool extras) noexcept {
    block(h).words[h & kBlockMask] = pack(kind, payload, extras);
  }

  void clear() noexcept {
    blocks_.clear();
    size_ = 0;
  }

 private:
  static constexpr std::size_t kBlockShift = 12;
  static constexpr std::size_t kBlockSize = std::size_t{1} << kBlockShift;
  static constexpr std::size_t kBlockMask = kBlockSize - 1;

  struct Block {
    Id ids[kBlockSize];
    std::uint64_t timestamps[kBlockSize];
    std::uint32_t words[kBlockSize];
  };

  static std::uint32_t pack(NodeKind kind, std::uint32_t payload, bool extras) noexcept {
    return (extras ? 1u << 31 : 0u) | (static_cast<std::uint32_t>(kind) << 28) |
           (payload & kNoPayload);
  }
  static NodeKind unpack_kind(std::uint32_t word) noexcept {
    return static_cast<NodeKind>((word >> 28) & 7u);
  }

  std::uint32_t word(Handle h) const noexcept { return block(h).words[h & kBlockMask]; }
  Block& block(Handle h) noexcept { return *blocks_[h >> kBlockShift]; }
  const Block& block(Handle h) const noexcept { return *blocks_[h >> kBlockShift]; }

  std::vector<std::unique_ptr<Block>> blocks_;
  std::size_t size_ = 0;
};

}  // namespace orlo_kiv
