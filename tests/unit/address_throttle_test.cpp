#include "util/address_throttle.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

TEST(AddressThrottle, OneLinePerSecondPerAddress) {
  AddressThrottle throttle;
  EXPECT_TRUE(throttle.Allow(1, 5000));
  EXPECT_FALSE(throttle.Allow(1, 5000));
  EXPECT_FALSE(throttle.Allow(1, 5999));
  EXPECT_TRUE(throttle.Allow(2, 5999)) << "another address has its own second";
  EXPECT_TRUE(throttle.Allow(1, 6000));
  EXPECT_FALSE(throttle.Allow(1, 6500)) << "the second counts from the last line written";
}

TEST(AddressThrottle, SurvivesTheClockWrap) {
  AddressThrottle throttle;
  EXPECT_TRUE(throttle.Allow(7, 0xFFFFFF00u));
  EXPECT_FALSE(throttle.Allow(7, 0x100u));  // 512 ms later
  EXPECT_TRUE(throttle.Allow(7, 0x400u));   // 1280 ms later
}

TEST(AddressThrottle, AFullTableDropsNewAddressesUntilEntriesAge) {
  AddressThrottle throttle;
  for (std::uint32_t a = 0; a < AddressThrottle::kAddresses; ++a) {
    ASSERT_TRUE(throttle.Allow(1000 + a, 9000 + a));
  }
  EXPECT_FALSE(throttle.Allow(5, 9300)) << "every entry was written within the second";
  EXPECT_FALSE(throttle.Allow(1000, 9300)) << "a known address keeps its own limit";
  // The first entry is a second old at 10000: it is reused, and the address
  // that held it starts afresh.
  EXPECT_TRUE(throttle.Allow(5, 10000));
  EXPECT_FALSE(throttle.Allow(5, 10001));
  EXPECT_FALSE(throttle.Allow(1001, 10000)) << "written at 9001";
  EXPECT_TRUE(throttle.Allow(1001, 10001));
}

}  // namespace
}  // namespace kestrune
