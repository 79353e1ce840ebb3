// Coverage feedback for libFuzzer from GCC-instrumented code.
//
// GCC can only instrument basic blocks as calls to __sanitizer_cov_trace_pc,
// which current libFuzzer no longer reads (it expects clang's inline 8-bit
// counters). This file answers those calls itself: each caller's address is
// hashed into a table of 8-bit counters registered with libFuzzer, so every
// newly reached block is a new feature. The build weakens libFuzzer's own
// definition of the hook so that this one is used. This file itself must not be
// built with coverage instrumentation.
#include <cstddef>
#include <cstdint>

extern "C" void __sanitizer_cov_8bit_counters_init(std::uint8_t* begin, std::uint8_t* end);
extern "C" void __sanitizer_cov_pcs_init(const std::uintptr_t* begin, const std::uintptr_t* end);

namespace {

constexpr int kCounterBits = 18;
constexpr std::size_t kCounters = std::size_t{1} << kCounterBits;

std::uint8_t counters[kCounters];
// libFuzzer's table of (address, flags) pairs, one per counter; each counter
// stands for the blocks that hash to it, so its index serves as the address.
std::uintptr_t pc_table[2 * kCounters];

struct RegisterCounters {
  RegisterCounters() {
    for (std::size_t i = 0; i < kCounters; ++i) pc_table[2 * i] = i + 1;
    __sanitizer_cov_8bit_counters_init(counters, counters + kCounters);
    __sanitizer_cov_pcs_init(pc_table, pc_table + 2 * kCounters);
  }
} register_counters;

}  // namespace

extern "C" __attribute__((no_sanitize("address", "undefined"))) void __sanitizer_cov_trace_pc() {
  const auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  // Fibonacci hashing: neighbouring blocks land on unrelated counters.
  const std::uint64_t slot =
      (static_cast<std::uint64_t>(pc) * 0x9E3779B97F4A7C15ULL) >> (64 - kCounterBits);
  ++counters[slot];
}

// GCC also reports floating-point comparisons, which libFuzzer has no use for.
extern "C" void __sanitizer_cov_trace_cmpf(float, float) {}
extern "C" void __sanitizer_cov_trace_cmpd(double, double) {}
