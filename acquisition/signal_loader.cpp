#include "acquisition/signal_loader.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

#include "journal/event_log.h"
#include "persistence/sql_literal.h"

namespace kalvix {
namespace {

constexpr const char* kTooManySignals = "### Слишком много сигналов ###";

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

std::string TextOf(const DbValue& v) {
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  return DbIsNull(v) ? std::string() : DbToText(v);
}

// A column read as an integer; NULL and text that is no number read as 0.
int64_t IntegerOf(const DbValue& v) {
  const double x = DbNumberOr(v, 0.0);
  if (!std::isfinite(x)) return 0;
  constexpr double kLimit = static_cast<double>(std::numeric_limits<int32_t>::max());
  return static_cast<int64_t>(std::trunc(std::clamp(x, -kLimit, kLimit)));
}

DbValue Field(const DbResult& result, const std::vector<DbValue>& row, const char* name) {
  const int index = result.ColumnIndex(name);
  return index < 0 ? DbValue{} : row[static_cast<size_t>(index)];
}

DbStatus Count(DbConnection& user, const std::string& sql, int64_t& count) {
  DbValue value;
  DbStatus status = user.QueryValue(sql, "Rez", value);
  count = status.ok() ? IntegerOf(value) : 0;
  return status;
}

TSignalSet SignalFromRow(const DbResult& result, const std::vector<DbValue>& row) {
  TSignalSet s;
  s.BusName = TextOf(Field(result, row, "BusName"));
  s.SignalName = TextOf(Field(result, row, "SignalName"));
  s.Direction = TextOf(Field(result, row, "Direction"));
  s.DevNum = static_cast<int32_t>(IntegerOf(Field(result, row, "DevNum")));
  s.Addr = static_cast<uint16_t>(IntegerOf(Field(result, row, "Addr")));
  s.Kind = static_cast<int32_t>(IntegerOf(Field(result, row, "Kind")));
  s.InverseBytes = IntegerOf(Field(result, row, "InverseBytes")) != 0;
  s.InverseWords = IntegerOf(Field(result, row, "InverseWords")) != 0;
  return s;
}

DbStatus LoadTable(DbConnection& user, int64_t count, std::vector<TSignalSet>& signals) {
  DbResult result;
  DbStatus status = user.Query("select * from `signal` order by BusName, SignalName", result);
  if (!status.ok()) return status;
  for (const auto& row : result.rows) {
    // The table may have grown since it was counted; never hold more than counted.
    if (static_cast<int64_t>(signals.size()) >= count) break;
    if (signals.size() >= static_cast<size_t>(kMaxSignals)) {
      PostEvent(kTooManySignals);
      break;
    }
    signals.push_back(SignalFromRow(result, row));
  }
  return DbStatus::Ok();
}

DbStatus Seed(DbConnection& user, std::vector<TSignalSet>& signals) {
  std::vector<std::string> fields;
  DbStatus status = user.ShowFields("pu_data", fields);
  if (!status.ok()) return status;
  std::vector<std::string> names;
  for (const std::string& f : fields) {
    if (f != "RecMoment") names.push_back(f);
  }
  if (names.size() > static_cast<size_t>(kMaxSignals)) {
    PostEvent(kTooManySignals);
    names.resize(kMaxSignals);
  }
  signals = SeedLayout(names);
  for (const TSignalSet& s : signals) {
    const std::string sql = "insert into `signal`\r\nVALUES(    " + SqlText(s.BusName) + ", " +
                            SqlString(s.SignalName) + ", " + std::to_string(s.DevNum) + ", " +
                            std::to_string(s.Addr) + ", " + std::to_string(s.Kind) + ", " +
                            (s.InverseBytes ? "1" : "0") + ", " + (s.InverseWords ? "1" : "0") +
                            ", " + SqlString(s.Direction) + ")";
    status = user.Execute(sql);
    if (!status.ok()) return status;
  }
  return DbStatus::Ok();
}

DbStatus LoadCalibration(DbConnection& user, TSignalSet& s) {
  // An empty name is a name like any other here: as NULL it would match no point and could
  // not be stored.
  const std::string where = " WHERE SignalName=" + SqlString(s.SignalName) + " ";
  int64_t count = 0;
  DbStatus status = Count(user, "select count(*) Rez from kalibr" + where, count);
  if (!status.ok()) return status;
  CalibrationTable& table = s.calibration;
  if (count >= 1) {
    DbResult result;
    status = user.Query("select * from kalibr" + where + "order by AVal", result);
    if (!status.ok()) return status;
    table.PointCount = 0;
    for (const auto& row : result.rows) {
      if (table.PointCount >= kMaxLoadedCalibrationPoints) {
        PostEvent("### Сигнал " + s.SignalName + ": точек калибровки " +
                  std::to_string(result.rows.size()) + ", используются первые " +
                  std::to_string(kMaxLoadedCalibrationPoints) + " ###");
        break;
      }
      table.AVal[table.PointCount] = DbNumberOr(Field(result, row, "AVal"), 0.0);
      table.FVal[table.PointCount] = DbNumberOr(Field(result, row, "FVal"), 0.0);
      ++table.PointCount;
    }
    return DbStatus::Ok();
  }
  table.PointCount = 2;
  table.AVal[0] = table.FVal[0] = 0.0;
  table.AVal[1] = table.FVal[1] = 100.0;
  for (int j = 0; j < 2; ++j) {
    status = user.Execute("insert into kalibr\r\n(SignalName, AVal, FVal)\r\nVALUES (" +
                          SqlString(s.SignalName) + ", " + SqlFloat(table.AVal[j]) + ", " +
                          SqlFloat(table.FVal[j]) + ")");
    if (!status.ok()) return status;
  }
  return DbStatus::Ok();
}

}  // namespace

std::vector<TSignalSet> SeedLayout(const std::vector<std::string>& columns) {
  std::vector<TSignalSet> signals;
  int v120Address = 110;
  for (size_t k = 0; k < columns.size(); ++k) {
    TSignalSet s;
    s.SignalName = columns[k];
    s.BusName = "JUMO";
    s.Kind = kKindFloat;
    s.InverseBytes = s.InverseWords = true;
    s.Direction = kDirectionRead;
    if (k < 4) {
      s.DevNum = k < 2 ? 1 : 2;
      s.Addr = k % 2 == 0 ? 53 : 71;
    } else if (StartsWith(s.SignalName, "_")) {
      s.DevNum = s.SignalName == "_PLSZ" ? 1 : 2;
      s.Addr = 8;
      s.Direction = kDirectionWrite;
    } else if (s.SignalName == "RAB" || s.SignalName == "RN") {
      s.BusName = "CALC";
      s.Direction.clear();
    } else {
      s.BusName = "V120";
      s.DevNum = 1;
      s.Addr = static_cast<uint16_t>(v120Address++);
      s.Kind = kKindInt;
      s.InverseBytes = s.InverseWords = false;
    }
    // Whatever rule applied: minute totals are 32-bit, the belt status a bit.
    if (StartsWith(s.SignalName, "G_1T")) {
      s.Kind = kKindLong;
      s.Addr = 52;
    } else if (StartsWith(s.SignalName, "BKK")) {
      s.Kind = kKindBit;
      s.Addr = 10;
    }
    signals.push_back(std::move(s));
  }
  return signals;
}

DbStatus LoadSignalSet(DbConnection& user, SignalSet& set) {
  int64_t count = 0;
  DbStatus status =
      Count(user, "select count(*) Rez from `signal` order by BusName, SignalName", count);
  if (!status.ok()) return status;
  if (count > kMaxSignals) {
    PostEvent(kTooManySignals);
    return DbStatus::Ok();
  }
  std::vector<TSignalSet> signals;
  status = count >= 1 ? LoadTable(user, count, signals) : Seed(user, signals);
  if (!status.ok()) return status;
  for (TSignalSet& s : signals) {
    status = LoadCalibration(user, s);
    // A set replaced half-loaded would convert every later signal through no points, that
    // is to 0; the set in use stays as it is and the caller reports the error.
    if (!status.ok()) return status;
  }
  set.Replace(std::move(signals));
  return status;
}

}  // namespace kalvix
