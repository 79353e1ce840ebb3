// Every id a container map knows, numbered by handle: the ids of its
// containers and the ids that children lists name without a container behind
// them (removed, or never stored).
//
// Per handle the table keeps the id, the timestamp and one packed word: what
// the node is (a container level, or absent) and where its data lives (a vector
// slot for a chunk, a branch number otherwise). Nodes are stored in fixed-size
// blocks, so a reference to an id stays valid while the table grows. A
// timestamp is kept as 32-bit milliseconds after its block's first one (nodes
// of a block are made close together in time); one that does not fit is kept
// apart, in full.
//
// Each block holds nodes of one group: the level a node was created for, or
// ids first met in a children list. So the sessions of an index have
// consecutive handles, as do its documents, and a query that walks the root's
// sessions or a session's documents reads their nodes from consecutive
// memory. Slots of a block that were never handed out read as absent nodes.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "adapters/index/storage/container_level.h"
#include "core/id.h"

namespace orlo_kiv {

using Handle = std::uint32_t;
inline constexpr Handle kNoHandle = 0xFFFFFFFFu;

// What a node is: the level of its container, by the same value, or Absent
// for an id that names no container. The storage converts one to the other by
// value and indexes its per-level arrays with either; the branch levels come
// before Chunk, and a kind takes three bits of the packed word.
enum class NodeKind : std::uint8_t { Global = 0, Session = 1, Document = 2, Chunk = 3, Absent = 4 };

constexpr bool kind_matches_level(NodeKind kind, ContainerLevel level) noexcept {
  return static_cast<std::uint8_t>(kind) == static_cast<std::uint8_t>(level);
}
static_assert(kind_matches_level(NodeKind::Global, ContainerLevel::Global) &&
              kind_matches_level(NodeKind::Session, ContainerLevel::Session) &&
              kind_matches_level(NodeKind::Document, ContainerLevel::Document) &&
              kind_matches_level(NodeKind::Chunk, ContainerLevel::Chunk));
static_assert(static_cast<std::uint8_t>(NodeKind::Global) == 0 &&
              NodeKind::Global < NodeKind::Session && NodeKind::Session < NodeKind::Document &&
              NodeKind::Document < NodeKind::Chunk && NodeKind::Chunk < NodeKind::Absent);
static_assert(static_cast<std::uint8_t>(NodeKind::Absent) ==
              static_cast<std::uint8_t>(ContainerLevel::Chunk) + 1);
static_assert(static_cast<std::uint8_t>(NodeKind::Absent) < 8);

class NodeTable {
 public:
  // Payloads fit in 28 bits; this one means "none".
  static constexpr std::uint32_t kNoPayload = (1u << 28) - 1;
  static constexpr std::size_t kMaxNodes = std::size_t{1} << 31;
  // Groups 0 to 3 are the container levels; kUnlisted is for ids met first
  // in a children list.
  static constexpr std::size_t kGroups = 5;
  static constexpr std::size_t kUnlisted = 4;
  // Nodes are handed out in blocks of this many: adding one grows size() by
  // at most this much.
  static constexpr std::size_t kBlockShift = 10;
  static constexpr std::size_t kBlockSize = std::size_t{1} << kBlockShift;

  NodeTable() = default;
  NodeTable(NodeTable&& other) noexcept
      : blocks_(std::move(other.blocks_)),
        outlying_times_(std::move(other.outlying_times_)),
        next_(std::exchange(other.next_, {})),
        used_(std::exchange(other.used_, 0)) {
    other.blocks_.clear();
    other.outlying_times_.clear();
  }
  NodeTable& operator=(NodeTable&& other) noexcept {
    blocks_ = std::move(other.blocks_);
    other.blocks_.clear();
    outlying_times_ = std::move(other.outlying_times_);
    other.outlying_times_.clear();
    next_ = std::exchange(other.next_, {});
    used_ = std::exchange(other.used_, 0);
    return *this;
  }

  // Adds an absent node for `id` to `group`. Throws std::bad_alloc, changing
  // nothing, when memory runs out.
  Handle add(const Id& id, std::size_t group) {
    std::size_t h = next_[group];
    if ((h & kBlockMask) == 0) {  // the group's block is full, or it has none
      if (size() >= kMaxNodes) throw std::bad_alloc();
      blocks_.reserve(blocks_.size() + 1);
      h = blocks_.size() << kBlockShift;
      blocks_.push_back(std::make_unique<Block>());
    }
    next_[group] = h + 1;
    ++used_;
    Block& b = block(static_cast<Handle>(h));
    b.ids[h & kBlockMask] = id;
    return static_cast<Handle>(h);
  }

  // One more than the largest handle: every handle is below it.
  std::size_t size() const noexcept { return blocks_.size() << kBlockShift; }
  // Nodes added.
  std::size_t used() const noexcept { return used_; }

  const Id& id(Handle h) const noexcept { return block(h).ids[h & kBlockMask]; }
  std::uint64_t timestamp(Handle h) const noexcept {
    const Block& b = block(h);
    const std::uint32_t offset = b.time_offsets[h & kBlockMask];
    if (offset != kOutlyingTime) return b.time_base + offset;
    return outlying_times_.find(h)->second;
  }
  // Throws std::bad_alloc, changing nothing, when an outlying time finds no memory.
  void set_timestamp(Handle h, std::uint64_t ms) {
    Block& b = block(h);
    std::uint32_t& offset = b.time_offsets[h & kBlockMask];
    if (!b.has_time_base) {
      b.time_base = ms;
      b.has_time_base = true;
    }
    if (ms >= b.time_base && ms - b.time_base < kOutlyingTime) {
      if (offset == kOutlyingTime) outlying_times_.erase(h);
      offset = static_cast<std::uint32_t>(ms - b.time_base);
      return;
    }
    outlying_times_.insert_or_assign(h, ms);
    offset = kOutlyingTime;
  }

  NodeKind kind(Handle h) const noexcept { return unpack_kind(word(h)); }
  std::uint32_t payload(Handle h) const noexcept { return word(h) & kNoPayload; }
  bool has_extras(Handle h) const noexcept { return (word(h) >> 31) != 0; }
  void set(Handle h, NodeKind kind, std::uint32_t payload, bool extras) noexcept {
    block(h).words[h & kBlockMask] = pack(kind, payload, extras);
  }

 private:
  static constexpr std::size_t kBlockMask = kBlockSize - 1;
  // A time offset that means "see outlying_times_".
  static constexpr std::uint32_t kOutlyingTime = 0xFFFFFFFFu;

  struct Block {
    Block() noexcept {
      for (std::uint32_t& word : words) word = pack(NodeKind::Absent, kNoPayload, false);
    }
    Id ids[kBlockSize];
    std::uint32_t time_offsets[kBlockSize] = {};
    std::uint32_t words[kBlockSize];
    std::uint64_t time_base = 0;
    bool has_time_base = false;
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
  std::unordered_map<Handle, std::uint64_t> outlying_times_;
  // Per group, the next handle to hand out; 0 (or any multiple of the block
  // size) when the group needs a new block first.
  std::array<std::size_t, kGroups> next_{};
  std::size_t used_ = 0;
};

}  // namespace orlo_kiv
