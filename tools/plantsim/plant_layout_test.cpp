// The simulator's default layout must be the plant that db/default_plant.sql installs: a
// signal the service polls where the simulator serves nothing would only show up as a
// failing demo.
#include "tools/plantsim/plant_layout.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace kalvix::plantsim {
namespace {

struct SignalRow {
  std::string bus, name;
  int devNum, addr, kind, inverseBytes, inverseWords;
};

// Fields of one tuple "('JUMO', 'PLS', 1, 53, 1, 1, 1, 'READ')", quotes and blanks removed.
std::vector<std::string> TupleFields(std::string_view tuple) {
  std::vector<std::string> fields(1);
  for (char c : tuple) {
    if (c == ',') {
      fields.emplace_back();
    } else if (c != '\'' && c != ' ') {
      fields.back() += c;
    }
  }
  return fields;
}

// The value tuples of the signal insert: eight fields, the first a quoted bus name.
std::vector<SignalRow> DefaultSignalRows() {
  std::ifstream in(std::string(KALVIX_SOURCE_DIR) + "/db/default_plant.sql");
  std::ostringstream text;
  text << in.rdbuf();
  const std::string sql = text.str();
  std::vector<SignalRow> rows;
  for (size_t open = sql.find("('"); open != std::string::npos; open = sql.find("('", open + 1)) {
    const size_t close = sql.find(')', open);
    if (close == std::string::npos) break;
    const std::vector<std::string> f =
        TupleFields(std::string_view(sql).substr(open + 1, close - open - 1));
    if (f.size() != 8) continue;  // a calibration point or another table's row
    rows.push_back({f[0], f[1], std::stoi(f[2]), std::stoi(f[3]), std::stoi(f[4]), std::stoi(f[5]),
                    std::stoi(f[6])});
  }
  return rows;
}

std::optional<DeviceId> DeviceOf(const SignalRow& row) {
  if (row.bus == "JUMO") return row.devNum == 1 ? DeviceId::kJumo1 : DeviceId::kJumo2;
  if (row.bus == "V120") return DeviceId::kV120;
  if (row.bus == "BK") return DeviceId::kBk003;
  return std::nullopt;  // calculated by the service
}

TEST(DefaultPlantLayout, ServesEverySignalOfTheDefaultPlantWhereTheServiceLooks) {
  const std::vector<SignalRow> rows = DefaultSignalRows();
  ASSERT_FALSE(rows.empty()) << "no signal rows found in db/default_plant.sql";
  size_t polled = 0;
  for (const SignalRow& row : rows) {
    const std::optional<DeviceId> device = DeviceOf(row);
    if (!device) continue;
    ++polled;
    SCOPED_TRACE(row.name);
    const LayoutPoint* point = nullptr;
    for (const LayoutPoint& candidate : DefaultPlantLayout()) {
      if (candidate.name == row.name) point = &candidate;
    }
    ASSERT_NE(point, nullptr);
    EXPECT_EQ(point->device, *device);
    EXPECT_EQ(point->address, row.addr);
    EXPECT_EQ(static_cast<int>(point->kind), row.kind);
    EXPECT_EQ(point->inverseBytes, row.inverseBytes != 0);
    EXPECT_EQ(point->inverseWords, row.inverseWords != 0);
  }
  EXPECT_EQ(DefaultPlantLayout().size(), polled) << "the simulator serves signals the plant lacks";
}

}  // namespace
}  // namespace kalvix::plantsim
