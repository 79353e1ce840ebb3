// The ordered children of one container, as node handles, kept as runs of
// consecutive handles.
//
// The index numbers nodes in creation order, so the chunks of a document and
// the documents of a session are usually one run each: a list of 50 children
// then costs 8 bytes, and walking it touches consecutive nodes. Any order,
// repetition or handle is allowed; an irregular list simply has more runs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <utility>
#include <vector>

#include "adapters/index/storage/node_table.h"

namespace orlo_kiv {

class ChildList {
 public:
  struct Run {
    Handle first;
    std::uint32_t count;
  };

  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Handle;
    using difference_type = std::ptrdiff_t;
    using reference = Handle;
    using pointer = void;

    Iterator() noexcept = default;
    Iterator(const Run* run, std::uint32_t offset) noexcept : run_(run), offset_(offset) {}
    Handle operator*() const noexcept { return run_->first + offset_; }
    Iterator& operator++() noexcept {
      if (++offset_ == run_->count) {
        ++run_;
        offset_ = 0;
      }
      return *this;
    }
    Iterator operator++(int) noexcept {
      Iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) noexcept {
      return a.run_ == b.run_ && a.offset_ == b.offset_;
    }

   private:
    const Run* run_ = nullptr;
    std::uint32_t offset_ = 0;
  };

  ChildList() = default;
  ChildList(ChildList&& other) noexcept
      : runs_(std::move(other.runs_)), size_(std::exchange(other.size_, 0)) {
    other.runs_.clear();
  }
  ChildList& operator=(ChildList&& other) noexcept {
    runs_ = std::move(other.runs_);
    other.runs_.clear();
    size_ = std::exchange(other.size_, 0);
    return *this;
  }
  ChildList(const ChildList&) = default;
  ChildList& operator=(const ChildList&) = default;

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  Iterator begin() const noexcept { return {runs_.data(), 0}; }
  Iterator end() const noexcept { return {runs_.data() + runs_.size(), 0}; }
  const std::vector<Run>& runs() const noexcept { return runs_; }

  // The handle at position `i` (i < size()); walks the runs.
  Handle at(std::size_t i) const noexcept {
    for (const Run& run : runs_) {
      if (i < run.count) return run.first + static_cast<Handle>(i);
      i -= run.count;
    }
    return kNoHandle;
  }
  Handle back() const noexcept { return runs_.back().first + runs_.back().count - 1; }

  // Makes room for one more child, so that the next push_back cannot fail.
  void reserve_one_more() { runs_.reserve(runs_.size() + 1); }
  // Makes room for `more` children pushed back one by one.
  void reserve_more(std::size_t more) { runs_.reserve(runs_.size() + more); }

  void push_back(Handle h) {
    if (!runs_.empty()) {
      Run& last = runs_.back();
      if (last.first + last.count == h && last.count != UINT32_MAX) {
        ++last.count;
        ++size_;
        return;
      }
    }
    runs_.push_back({h, 1});
    ++size_;
  }

  // Appends every child of `other` (which may be this list), in order.
  void append(const ChildList& other) {
    const std::vector<Run> copy = other.runs_;
    runs_.reserve(runs_.size() + copy.size());
    for (const Run& run : copy) append_run(run);
  }

  // Keeps the first `count` children.
  void truncate(std::size_t count) noexcept {
    if (count >= size_) return;
    std::size_t kept = 0;
    std::size_t r = 0;
    while (kept + runs_[r].count <= count) kept += runs_[r++].count;
    if (kept < count) runs_[r++].count = static_cast<std::uint32_t>(count - kept);
    runs_.resize(r);
    size_ = count;
  }

  // The children from position `from` on, as a list of their own.
  ChildList tail(std::size_t from) const {
    ChildList out;
    std::size_t skipped = 0;
    for (const Run& run : runs_) {
      if (skipped + run.count <= from) {
        skipped += run.count;
        continue;
      }
      const std::uint32_t offset = from > skipped ? static_cast<std::uint32_t>(from - skipped) : 0;
      out.append_run({run.first + offset, run.count - offset});
      skipped += run.count;
    }
    return out;
  }

  // Removes every occurrence of `h`, keeping the order of the rest.
  void erase_all(Handle h) {
    if (std::none_of(runs_.begin(), runs_.end(),
                     [&](const Run& run) { return h >= run.first && h - run.first < run.count; })) {
      return;
    }
    ChildList kept;
    for (const Run& run : runs_) {
      if (h >= run.first && h - run.first < run.count) {
        const std::uint32_t before = h - run.first;
        if (before != 0) kept.append_run({run.first, before});
        if (before + 1 != run.count) kept.append_run({h + 1, run.count - before - 1});
      } else {
        kept.append_run(run);
      }
    }
    *this = std::move(kept);
  }

  // Removes every child for which `pred(handle)` holds, keeping the order of
  // the rest; returns how many went.
  template <class Pred>
  std::size_t erase_if(Pred pred) {
    if (std::none_of(begin(), end(), pred)) return 0;
    ChildList kept;
    for (const Handle h : *this) {
      if (!pred(h)) kept.push_back(h);
    }
    const std::size_t removed = size_ - kept.size_;
    *this = std::move(kept);
    return removed;
  }

  void clear() noexcept {
    runs_.clear();
    size_ = 0;
  }

  // Returns unused capacity once a list stops growing.
  void shrink_to_fit() { runs_.shrink_to_fit(); }

  // Rewrites every handle through `map` (old handle -> new handle).
  template <class Map>
  void renumber(const Map& map) {
    ChildList out;
    out.runs_.reserve(runs_.size());
    for (Handle h : *this) out.push_back(map(h));
    *this = std::move(out);
  }

 private:
  void append_run(Run run) {
    if (run.count == 0) return;
    if (!runs_.empty()) {
      Run& last = runs_.back();
      if (last.first + last.count == run.first &&
          std::uint64_t{last.count} + run.count <= UINT32_MAX) {
        last.count += run.count;
        size_ += run.count;
        return;
      }
    }
    runs_.push_back(run);
    size_ += run.count;
  }

  std::vector<Run> runs_;
  std::size_t size_ = 0;
};

}  // namespace orlo_kiv
