// Our master against libmodbus's slave: if both read the protocol the same way, registers,
// float pairs in every byte/word order, and pair writes come through unchanged.
#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <bit>

#include "devices/modbus_io.h"
#include "devices/modbus_messages.h"
#include "testing/libmodbus_slave.h"
#include "testing/pseudo_terminal.h"

namespace kalvix {
namespace {

constexpr int kSlave = 7;
constexpr int kRegisters = 64;

// Our two flags and libmodbus's name for the same order.
struct Order {
  const char* name;
  bool inverseBytes, inverseWords;
  void (*set)(float, uint16_t*);
  float (*get)(const uint16_t*);
};
const Order kOrders[] = {
    {"abcd", true, false, modbus_set_float_abcd, modbus_get_float_abcd},
    {"cdab", true, true, modbus_set_float_cdab, modbus_get_float_cdab},
    {"dcba", false, false, modbus_set_float_dcba, modbus_get_float_dcba},
    {"badc", false, true, modbus_set_float_badc, modbus_get_float_badc},
};

// Stores `value` with libmodbus's setter for the order. The setters of libmodbus 3.1.6 (the
// Debian 12 package) put each register's two bytes the wrong way round on little-endian
// machines, so they disagree with the getters of the same order; the getters are right (they
// match the Modbus byte order of each name), so the registers are put to what the getter reads.
void SetFloat(const Order& order, float value, uint16_t* registers) {
  order.set(value, registers);
  if (order.get(registers) != value) {
    for (int i = 0; i < 2; ++i)
      registers[i] = static_cast<uint16_t>((registers[i] << 8) | (registers[i] >> 8));
  }
}

class ModbusInteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.Ok()) << pty_.Error();
    ASSERT_TRUE(slave_.Ok());
    link_.PortName = pty_.SlavePath();
    ASSERT_TRUE(link_.Open(9600)) << link_.ErrorText;
    link_.DevAddr = kSlave;
  }

  PseudoTerminal pty_;
  LibmodbusSlave slave_{pty_, kSlave, kRegisters};
  TModBUS link_;
};

TEST_F(ModbusInteropTest, SingleRegisters) {
  slave_.WithRegisters([](uint16_t* r) {
    r[0] = 0;
    r[5] = 0xBEEF;
    r[63] = 0x8000;
  });
  for (auto [reg, expected] : {std::pair{0, 0}, {5, 0xBEEF}, {63, 0x8000}}) {
    int32_t value = -1;
    EXPECT_TRUE(link_.ReadRegister(static_cast<uint16_t>(reg), value)) << link_.ErrorText;
    EXPECT_EQ(value, expected) << reg;
  }
}

TEST_F(ModbusInteropTest, FloatPairsInEveryOrder) {
  for (const Order& order : kOrders) {
    SCOPED_TRACE(order.name);
    slave_.WithRegisters([&](uint16_t* r) {
      SetFloat(order, -1234.5625f, r + 10);
      ASSERT_EQ(order.get(r + 10), -1234.5625f);
    });
    link_.InverseBytes = order.inverseBytes;
    link_.InverseWords = order.inverseWords;
    uint32_t pattern = 0;
    ASSERT_TRUE(link_.ReadPair(10, pattern)) << link_.ErrorText;
    EXPECT_EQ(std::bit_cast<float>(pattern), -1234.5625f);
  }
}

TEST_F(ModbusInteropTest, PairWritesLandInTheSlavesMap) {
  for (const Order& order : kOrders) {
    SCOPED_TRACE(order.name);
    link_.InverseBytes = order.inverseBytes;
    link_.InverseWords = order.inverseWords;
    ASSERT_TRUE(link_.WritePair(20, std::bit_cast<uint32_t>(7.75f))) << link_.ErrorText;
    float written = 0;
    slave_.WithRegisters([&](uint16_t* r) { written = order.get(r + 20); });
    EXPECT_EQ(written, 7.75f);
    uint32_t back = 0;
    ASSERT_TRUE(link_.ReadPair(20, back)) << link_.ErrorText;
    EXPECT_EQ(std::bit_cast<float>(back), 7.75f);
  }
}

TEST_F(ModbusInteropTest, RegisterOutsideTheMapIsAnException) {
  int32_t value = 0;
  EXPECT_FALSE(link_.ReadRegister(kRegisters, value));
  EXPECT_FALSE(link_.WritePair(kRegisters - 1, 0));  // the pair would end past the map
  link_.CheckFunction = false;
  uint8_t room[32];
  link_.FuncCode = 3;
  link_.Query(std::array<uint8_t, 4>{0x00, kRegisters, 0x00, 0x01}, room, -1);
  ASSERT_EQ(link_.RecvLen, 5);
  EXPECT_EQ(room[1], 0x83);
  EXPECT_EQ(room[2], MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
}

}  // namespace
}  // namespace kalvix
