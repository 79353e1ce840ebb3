#include "core/id.h"

#include <gtest/gtest.h>

#include "predicted_ids.h"

namespace orlo_kiv {
namespace {

TEST(Id, MakeIdLaysOutClockCounterAndMix) {
  const std::uint64_t ms = 0x0123456789ABULL;
  const Id id = make_id(ms, 0x10002);
  EXPECT_EQ(to_hex(id).substr(0, 12), "0123456789ab");
  EXPECT_EQ(to_hex(id).substr(12, 4), "0002");  // low 16 bits of the counter
  const std::uint64_t mixed = ms * testing_support::kIdMixMultiplier + 0x10002;
  char expected[17];
  std::snprintf(expected, sizeof expected, "%016llx", static_cast<unsigned long long>(mixed));
  EXPECT_EQ(to_hex(id).substr(16), expected);
}

TEST(Id, ConsecutiveIdsInOneMillisecondDifferInTheCounter) {
  const Id a = make_id(1000, 7);
  const Id b = make_id(1000, 8);
  EXPECT_TRUE(std::equal(a.bytes.begin(), a.bytes.begin() + 6, b.bytes.begin()));
  EXPECT_EQ(b.bytes[7], a.bytes[7] + 1);
}

TEST(Id, NewIdsAreDistinct) {
  const Id a = new_id();
  const Id b = new_id();
  EXPECT_NE(a, b);
}

TEST(Id, HexRoundTripLowersCase) {
  const auto parsed = parse_hex("0123456789ABCDEFabcdef0123456789");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(to_hex(*parsed), "0123456789abcdefabcdef0123456789");
  const auto zero = parse_hex(std::string(32, '0'));
  ASSERT_TRUE(zero.has_value());
  EXPECT_TRUE(zero->is_zero());
}

TEST(Id, ParseErrorsNameLengthOrFirstBadByte) {
  auto short_text = parse_hex(std::string(31, 'a'));
  ASSERT_FALSE(short_text.has_value());
  EXPECT_EQ(to_string(short_text.error()), "ID must be 32 hex characters, got 31");

  auto bad = parse_hex("00000g000000000000000000000000zz");
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(to_string(bad.error()), "Invalid hex character: g");

  // Sixteen two-byte characters: the first byte (0xC3) is reported as U+00C3.
  std::string wide;
  for (int i = 0; i < 16; ++i) wide += "\xC3\xA9";
  auto latin = parse_hex(wide);
  ASSERT_FALSE(latin.has_value());
  EXPECT_EQ(to_string(latin.error()), "Invalid hex character: \xC3\x83");
}

TEST(Id, HashDependsOnTheMapKey) {
  const Id id = make_id(42, 1);
  IdHash first;
  IdHash second;
  EXPECT_EQ(first(id), first(id));
  EXPECT_NE(first(id), second(id));  // 2^-64 chance of a false failure
}

}  // namespace
}  // namespace orlo_kiv
