// The ids that new_id() is about to generate. A generated id shows the clock
// reading and the process-wide counter it was made from, so anyone holding one
// can predict the next ones; tests plant containers under those ids to check
// that the index never stores a generated id over an existing container.
#pragma once

#include <cstdint>
#include <vector>

#include "core/id.h"

namespace orlo_kiv::testing_support {

// The multiplier a generated id's last 8 bytes mix the clock with (the
// counter is added after): the tests' one copy of it, pinned by id_test.
inline constexpr std::uint64_t kIdMixMultiplier = 6364136223846793005ULL;

// Every id the next `draws` calls of new_id() could return while the clock
// moves through the next `window_ms` milliseconds.
inline std::vector<Id> upcoming_ids(std::uint64_t draws, std::uint64_t window_ms) {
  const Id probe = new_id();
  std::uint64_t ms = 0;
  for (int i = 0; i < 6; ++i) ms = ms << 8 | probe.bytes[i];
  std::uint64_t mixed = 0;
  for (int i = 8; i < 16; ++i) mixed = mixed << 8 | probe.bytes[i];
  const std::uint64_t counter = mixed - ms * kIdMixMultiplier;
  std::vector<Id> ids;
  for (std::uint64_t t = ms; t < ms + window_ms; ++t) {
    for (std::uint64_t k = 1; k <= draws; ++k) ids.push_back(make_id(t, counter + k));
  }
  return ids;
}

}  // namespace orlo_kiv::testing_support
