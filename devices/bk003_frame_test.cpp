#include "devices/bk003_frame.h"

#include <gtest/gtest.h>

#include <vector>

namespace kalvix {
namespace {

TEST(Bk003Frame, RequestSendsLowByteOfDeviceNumber) {
  EXPECT_EQ(BkRequest(49), (std::array<uint8_t, 3>{'1', 0x0D, 0x0A}));
  EXPECT_EQ(BkRequest(305), (std::array<uint8_t, 3>{0x31, 0x0D, 0x0A}));
  EXPECT_EQ(BkRequest(-1), (std::array<uint8_t, 3>{0xFF, 0x0D, 0x0A}));
}

TEST(Bk003Frame, DecodesReadingsAndStatusMask) {
  const std::vector<uint8_t> answer = {0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x86,
                                       0xA0, 0x01, 0xF4, 0x00, 0x00, 0x00, 0x00};
  struct Case {
    int32_t mask;
    double bkk23;
  };
  for (const Case& c : {Case{2, 1}, Case{4, 0}, Case{1, 1}, Case{0, 0}, Case{0x103, 1}}) {
    SCOPED_TRACE(c.mask);
    std::optional<BkReadings> r = DecodeBkAnswer(answer, c.mask);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->G23, 100000);
    EXPECT_EQ(r->TNK23, 500);
    EXPECT_EQ(r->BKK23, c.bkk23);
  }
}

TEST(Bk003Frame, ReadingsAreUnsigned) {
  const std::vector<uint8_t> answer = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                       0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  std::optional<BkReadings> r = DecodeBkAnswer(answer, 2);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->G23, 4294967295.0);
  EXPECT_EQ(r->TNK23, 65535);
}

TEST(Bk003Frame, OnlyFourteenBytesAreAnAnswer) {
  EXPECT_FALSE(DecodeBkAnswer(std::vector<uint8_t>(13), 2));
  EXPECT_FALSE(DecodeBkAnswer(std::vector<uint8_t>(15), 2));
  EXPECT_FALSE(DecodeBkAnswer({}, 2));
}

}  // namespace
}  // namespace kalvix
