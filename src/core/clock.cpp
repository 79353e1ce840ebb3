#include "core/clock.h"

#include <time.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "core/internal_error.h"

namespace orlo_kiv {
namespace {

struct EpochTime {
  std::uint64_t seconds;
  std::uint64_t nanoseconds;
};

EpochTime read_clock() {
  timespec ts{};
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) {
    // Without a reading there is no time to stamp or compare: a broken platform.
    const int error = errno;
    internal_error("called `Result::unwrap()` on an `Err` value: the wall clock cannot be read: " +
                   std::generic_category().message(error) + " (os error " + std::to_string(error) +
                   ")");
  }
  if (ts.tv_sec < 0) {
    // The clock reads before 1970: the same failure as unwrapping a time
    // difference that came out negative.
    internal_error(
        "called `Result::unwrap()` on an `Err` value: SystemTimeError(the wall clock reads " +
        std::to_string(-static_cast<long long>(ts.tv_sec)) + "s before the Unix epoch)");
  }
  return {static_cast<std::uint64_t>(ts.tv_sec), static_cast<std::uint64_t>(ts.tv_nsec)};
}

}  // namespace

std::uint64_t now_ms() {
  const EpochTime t = read_clock();
  return t.seconds * 1000 + t.nanoseconds / 1'000'000;
}

std::uint64_t now_us() {
  const EpochTime t = read_clock();
  return t.seconds * 1'000'000 + t.nanoseconds / 1'000;
}

}  // namespace orlo_kiv
