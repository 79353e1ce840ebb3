// Wall-clock readings since the Unix epoch.
//
// Container timestamps, recency scoring and id generation use milliseconds;
// consolidation measures its phases in microseconds. A clock set before the
// epoch, or one that cannot be read, is an internal error, not a value the
// index can store.
#pragma once

#include <cstdint>

namespace orlo_kiv {

// Whole seconds * 1000 + nanoseconds / 1'000'000.
std::uint64_t now_ms();

// Whole seconds * 1'000'000 + nanoseconds / 1'000.
std::uint64_t now_us();

}  // namespace orlo_kiv
