// Ranking of scored records for the queries: a total order in which NaN comes
// after every number and equal keys keep their order of appending, so that
// selecting the best few gives exactly what a stable sort followed by a cut
// would, and no comparator ever breaks the strict weak ordering the standard
// algorithms require.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace orlo_kiv {

// The key orders are function objects rather than functions, so that the
// sorts that take them inline every comparison instead of calling through a
// pointer.

// Smaller first, NaN last.
struct AscendingBefore {
  bool operator()(float a, float b) const noexcept {
    if (std::isnan(b)) return !std::isnan(a);
    return a < b;
  }
};

// Larger first, NaN last.
struct DescendingBefore {
  bool operator()(float a, float b) const noexcept {
    if (std::isnan(b)) return !std::isnan(a);
    return a > b;
  }
};

// Keeps the best `count` records (all of them when there are fewer), best
// first. Records carry `key` and a distinct `order` (their append position),
// which breaks ties.
template <class Record, class KeyBefore>
void keep_best(std::vector<Record>& records, std::size_t count, KeyBefore key_before) {
  const auto before = [&](const Record& a, const Record& b) {
    if (key_before(a.key, b.key)) return true;
    if (key_before(b.key, a.key)) return false;
    return a.order < b.order;
  };
  if (count < records.size()) {
    std::partial_sort(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(count),
                      records.end(), before);
    records.resize(count);
  } else {
    std::sort(records.begin(), records.end(), before);
  }
}

}  // namespace orlo_kiv
