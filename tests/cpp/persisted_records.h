// The records of serialised index data, for tests that compare the content of
// two encodings regardless of the map order each was written in.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "adapters/index/persistence.h"
#include "adapters/index/persistence_bytes.h"

namespace orlo_kiv {

// The records of well-formed data, each as raw bytes, sorted.
inline std::vector<std::string> sorted_records(std::span<const std::uint8_t> data) {
  const std::uint32_t d = decode_u32_le(&data[8]);
  const std::uint64_t count = decode_u64_le(&data[12]);
  std::size_t pos = persistence::kHeaderSize;
  std::vector<std::string> records;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::size_t start = pos;
    pos += 29 + 16 * decode_u32_le(&data[pos + 25]) + 8 + 4 * d;
    pos += 1 + (data[pos] == 1 ? 4 * d : 0);
    records.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(start),
                         data.begin() + static_cast<std::ptrdiff_t>(pos));
  }
  std::sort(records.begin(), records.end());
  return records;
}

}  // namespace orlo_kiv
