#include "devices/vision_frame.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kalvix {
namespace {

TEST(VisionFrame, ChecksumIsByteSumModulo256InUpperCaseHex) {
  EXPECT_EQ(CalcCRC("01RW000001"), "2B");  // 555 % 256 = 43
  EXPECT_EQ(CalcCRC("0ARW001001"), "3C");
  EXPECT_EQ(CalcCRC(""), "00");
  EXPECT_EQ(CalcCRC("\xFF\xFF"), "FE");  // codes count as unsigned bytes
}

TEST(VisionFrame, HexHasAtLeastTheStatedDigits) {
  EXPECT_EQ(VisionHex(0x2B, 2), "2B");
  EXPECT_EQ(VisionHex(5, 4), "0005");
  EXPECT_EQ(VisionHex(0x12345, 4), "12345");
  EXPECT_EQ(VisionHex(static_cast<uint32_t>(-1), 4), "FFFFFFFF");
  EXPECT_EQ(VisionHex(256, 2), "100");
}

TEST(VisionFrame, RequestLines) {
  struct Case {
    const char* name;
    int32_t unit;
    std::string command;
    const char* query;
  };
  const std::array<uint8_t, 2> bits = {1, 0};
  const std::array<int32_t, 1> minusOne = {-1};
  const std::array<int32_t, 2> pair = {0x1234, 7};
  const Case cases[] = {
      {"default", 1, "RW000001", "/01RW0000012B"},
      {"unit 10 reads word 16", 10, VisionReadCommand("RW", 16, 1), "/0ARW0010013C"},
      {"write two bits", 1, VisionWriteBitsCommand(0, bits), "/01SB0000021079"},
      {"negative word keeps all digits", 1, VisionWriteIntsCommand(3, minusOne, false),
       "/01SW000301FFFFFFFF5F"},
      {"long pair", 2, VisionWriteIntsCommand(0x10, pair, true), "/02SNL001002000012340000000783"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VisionQuery q = BuildVisionQuery("/", c.unit, c.command);
    EXPECT_EQ(q.query, c.query);
    EXPECT_EQ(q.crc, q.query.substr(q.query.size() - 2));
  }
}

TEST(VisionFrame, LineEndsAtCrAndIsGivenUpBeyond900Characters) {
  VisionLineAssembler line;
  for (char c : std::string("/A01")) EXPECT_EQ(line.Push(c), VisionLineAssembler::Step::kMore);
  EXPECT_EQ(line.Push('\r'), VisionLineAssembler::Step::kLine);
  EXPECT_EQ(line.Line(), "/A01");

  VisionLineAssembler longLine;
  for (size_t i = 0; i < kVisionMaxReplyLength; ++i) {
    ASSERT_EQ(longLine.Push('0'), VisionLineAssembler::Step::kMore);
  }
  VisionLineAssembler atLimit = longLine;
  EXPECT_EQ(atLimit.Push('\r'), VisionLineAssembler::Step::kLine);
  EXPECT_EQ(longLine.Push('0'), VisionLineAssembler::Step::kTooLong);
}

TEST(VisionFrame, ReplyChecks) {
  struct Case {
    const char* reply;
    VisionReplyCheck check;
    const char* data;
  };
  const Case cases[] = {
      {"/A01RW00FFF6", VisionReplyCheck::kOk, "00FF"},
      {"/A01RWFFFF22", VisionReplyCheck::kOk, "FFFF"},
      {"/A01RW0A", VisionReplyCheck::kOk, ""},            // echo only, checksum of "01RW"
      {"/A0161", VisionReplyCheck::kOk, ""},              // checksum takes half the echo
      {"/A01RW00FFf6", VisionReplyCheck::kCrcError, ""},  // lower case is not the same text
      {"/A01RW00FFF7", VisionReplyCheck::kCrcError, ""},
      {"/A01RW00FEF6", VisionReplyCheck::kCrcError, ""},
      {"XA01RW00FFF6", VisionReplyCheck::kNoStx1, ""},
      {"/B01RW00FFF6", VisionReplyCheck::kNoStx1, ""},
      {"/A01R", VisionReplyCheck::kTooShort, ""},
      {"", VisionReplyCheck::kTooShort, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    std::string data = "untouched";
    EXPECT_EQ(CheckVisionReply(c.reply, "/A", &data), c.check);
    EXPECT_EQ(data, c.check == VisionReplyCheck::kOk ? c.data : "untouched");
  }
  EXPECT_STREQ(VisionReplyCheckText(VisionReplyCheck::kTooShort), "Answer too short.");
  EXPECT_STREQ(VisionReplyCheckText(VisionReplyCheck::kNoStx1), "STX1 is missing in answer.");
  EXPECT_STREQ(VisionReplyCheckText(VisionReplyCheck::kCrcError), "CRC check error.");
}

TEST(VisionFrame, HexGroupsAreUnsignedStoredIn32Bits) {
  struct Case {
    const char* group;
    std::optional<int32_t> value;
  };
  const Case cases[] = {
      {"00FF", 255},
      {"FFFF", 65535},
      {"ffff", 65535},
      {"FFFFFFFF", -1},
      {"7FFFFFFF", INT32_MAX},
      {"80000000", INT32_MIN},
      {"0", 0},
      {"", std::nullopt},
      {"12G4", std::nullopt},
      {" 1FF", std::nullopt},
      {"-001", std::nullopt},
      {"123456789", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.group);
    EXPECT_EQ(ParseVisionHex(c.group), c.value);
  }
}

TEST(VisionFrame, BitData) {
  std::array<uint8_t, 3> bits = {7, 7, 7};
  EXPECT_EQ(ParseVisionBits("101", bits), VisionDataResult::kOk);
  EXPECT_EQ(bits, (std::array<uint8_t, 3>{1, 0, 1}));
  EXPECT_EQ(ParseVisionBits("x1?9", bits), VisionDataResult::kOk);  // only '1' is set
  EXPECT_EQ(bits, (std::array<uint8_t, 3>{0, 1, 0}));
  bits = {7, 7, 7};
  EXPECT_EQ(ParseVisionBits("10", bits), VisionDataResult::kTooShort);
  EXPECT_EQ(bits, (std::array<uint8_t, 3>{7, 7, 7}));
}

TEST(VisionFrame, IntegerData) {
  std::vector<int32_t> values(3, 99);
  EXPECT_EQ(ParseVisionInts("00FF0001FFFFextra", 4, values), VisionDataResult::kOk);
  EXPECT_EQ(values, (std::vector<int32_t>{255, 1, 65535}));

  values.assign(2, 99);
  EXPECT_EQ(ParseVisionInts("FFFFFFFF00000010", 8, values), VisionDataResult::kOk);
  EXPECT_EQ(values, (std::vector<int32_t>{-1, 16}));

  values.assign(3, 99);
  EXPECT_EQ(ParseVisionInts("00FF0001FFF", 4, values), VisionDataResult::kTooShort);
  EXPECT_EQ(values, (std::vector<int32_t>(3, 99)));

  // The groups before the bad one stay stored.
  EXPECT_EQ(ParseVisionInts("00FF00G1FFFF", 4, values), VisionDataResult::kConvertError);
  EXPECT_EQ(values, (std::vector<int32_t>{255, 99, 99}));
}

}  // namespace
}  // namespace kalvix
