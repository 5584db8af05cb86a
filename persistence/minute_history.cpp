#include "persistence/minute_history.h"

#include <cmath>
#include <string_view>

#include "journal/event_log.h"
#include "persistence/sql_literal.h"

namespace kalvix {
namespace {

struct CounterPair {
  const char* counter;
  const char* total;
  Module module;  // the module whose last good exchange says the counter is fresh
};
constexpr std::array<CounterPair, 3> kCounters = {{
    {"G2", "G_1T2", kModuleV120},
    {"G23", "G_1T23", kModuleBk003},
    {"G41", "G_1T41", kModuleV120},
}};

constexpr double kTotalFactor = 0.1;

bool IsOutput(std::string_view name) { return !name.empty() && name.front() == '_'; }

}  // namespace

std::string MinuteKey(DateTime moment) { return FormatDateTime("yyyy-mm-dd hh:nn", moment) + ":00"; }

std::string HistoryInsertStatement(const SignalSet& set, const std::string& key) {
  std::string names = "INSERT into pu_data (RecMoment ";
  std::string values = "VALUES( " + SqlText(key) + " ";
  const auto& signals = set.Signals();
  const int count = set.SignalCount();
  for (int i = 0; i < count; ++i) {
    const std::string& name = signals[static_cast<size_t>(i)].SignalName;
    if (name.empty()) continue;
    names += ", " + SqlIdentifier(name);
    values += ", " + SqlFloat(set.AveragedValues.Slot(i));
  }
  return names + ") " + values + ")";
}

std::string HistoryUpdateStatement(const SignalSet& set, const std::string& key) {
  std::string items;
  const auto& signals = set.Signals();
  const int count = set.SignalCount();
  for (int i = 0; i < count; ++i) {
    const std::string& name = signals[static_cast<size_t>(i)].SignalName;
    if (name.empty() || IsOutput(name)) continue;
    if (!items.empty()) items += ", ";
    items += SqlIdentifier(name) + "=" + SqlFloat(set.AveragedValues.Slot(i));
  }
  if (items.empty()) return {};
  return "UPDATE pu_data SET " + items + "  where RecMoment=" + SqlText(key);
}

void MinuteHistory::RefreshCounters(const SignalSet& set, const ControlState& control,
                                    DateTime now) {
  for (size_t c = 0; c < kCounters.size(); ++c) {
    const DateTime lastOk = control.ModuleLastOk[kCounters[c].module].load();
    const double value = set.AveragedValues.Slot(set.SignalIndex(kCounters[c].counter));
    // A reading without a value is no reading: the counter keeps its last fresh one.
    if (lastOk > counters_.lastRefresh && std::isfinite(value)) {
      if (!counters_.known[c]) counters_.start[c] = value;
      counters_.known[c] = true;
      counters_.last[c] = value;
    }
  }
  counters_.lastRefresh = now;
}

void MinuteHistory::ComputeTotals(SignalSet& set, double maxDg) {
  for (size_t c = 0; c < kCounters.size(); ++c) {
    double& start = counters_.start[c];
    const double last = counters_.last[c];
    if (last < start) {
      start = last;  // the counter was reset or went back
    } else if (maxDg > 0 && last - start > maxDg) {
      start = last;  // an implausible jump is not counted
    }
    set.AveragedValues.SetSlot(set.SignalIndex(kCounters[c].total), (last - start) * kTotalFactor);
  }
}

bool MinuteHistory::OldModeTotals(SignalSet& set, const std::string& key, SelectSource& selects) {
  for (const CounterPair& pair : kCounters) {
    DbValue moment;
    if (!selects.SelectValue("select max(RecMoment) as Rez from pu_data where RecMoment < '" +
                                 key + "'",
                             moment)) {
      return false;
    }
    const double now = set.AveragedValues.Slot(set.SignalIndex(pair.counter));
    double prev = now;  // no earlier row or no stored counter: no rise can be known
    double stamp = 0;
    if (DbToNumber(moment, stamp)) {
      DbValue stored;
      if (!selects.SelectValue("select " + SqlIdentifier(pair.counter) +
                                   " as Rez from pu_data where RecMoment='" +
                                   FormatDateTime("yyyy-mm-dd hh:nn:ss", stamp) + "'",
                               stored)) {
        return false;
      }
      DbToNumber(stored, prev);
    }
    if (now < prev) prev = 0;
    set.AveragedValues.SetSlot(set.SignalIndex(pair.total), (now - prev) * kTotalFactor);
  }
  return true;
}

bool MinuteHistory::Update_PAF_record(SignalSet& set, const ControlState& control,
                                      const HistoryOptions& opt, SelectSource& selects,
                                      StatementSink& statements, DateTime now) {
  try {
    const std::string key = MinuteKey(now);
    std::string sql;
    if (opt.old_update_mode) {
      if (!OldModeTotals(set, key, selects)) return false;
      std::lock_guard<std::mutex> lock(mutex_);
      if (key == lastMinuteKey_) {
        sql = HistoryUpdateStatement(set, key);
      } else {
        lastMinuteKey_ = key;
        sql = HistoryInsertStatement(set, key);
      }
    } else {
      std::lock_guard<std::mutex> lock(mutex_);
      const bool newMinute = key != lastMinuteKey_;
      if (newMinute) {
        counters_.start = counters_.last;
        counters_.previousMinuteKey = lastMinuteKey_;
      }
      RefreshCounters(set, control, now);
      ComputeTotals(set, opt.max_dg);
      if (newMinute) {
        lastMinuteKey_ = key;
        sql = HistoryInsertStatement(set, key);
      } else {
        sql = HistoryUpdateStatement(set, key);
      }
    }
    if (!sql.empty()) statements.QueueStatement(sql);
    return true;
  } catch (...) {
    PostEvent("!!! Ошибка в функции Update_PAF_record() !!!");
    return false;
  }
}

DbStatus MinuteHistory::SQLConnectionUserAfterConnect(DbConnection& user, DateTime now) {
  const std::string currentKey = MinuteKey(now);
  std::lock_guard<std::mutex> lock(mutex_);
  counters_.start = {};
  counters_.known = {};
  counters_.previousMinuteKey.clear();

  DbValue rez;
  DbStatus status = user.QueryValue("select max(RecMoment) as rez from pu_data", "rez", rez);
  double moment = 0;
  if (status.ok() && DbToNumber(rez, moment)) {
    counters_.previousMinuteKey = MinuteKey(moment);
    if (counters_.previousMinuteKey == currentKey) {
      // The newest row is the current minute's: the counters start from the one before.
      status = user.QueryValue(
          "select max(RecMoment) as rez from pu_data where RecMoment<'" + currentKey + "'", "rez",
          rez);
      if (status.ok() && !DbToNumber(rez, moment)) moment = 0;
      counters_.previousMinuteKey = moment != 0 ? MinuteKey(moment) : std::string();
    }
  }
  if (status.ok() && !counters_.previousMinuteKey.empty()) {
    DbResult result;
    status = user.Query("select G2, G23, G41 from pu_data where RecMoment='" +
                            counters_.previousMinuteKey + "'",
                        result);
    if (status.ok() && !result.rows.empty()) {
      for (size_t c = 0; c < kCounters.size(); ++c) {
        const int index = result.ColumnIndex(kCounters[c].counter);
        if (index >= 0) {
          counters_.known[c] = DbToNumber(result.rows[0][static_cast<size_t>(index)],
                                          counters_.start[c]);
        }
      }
    }
  }
  if (!status.ok()) return status;
  counters_.last = counters_.start;
  counters_.lastRefresh = counters_.previousMinuteKey.empty() ? 0 : moment;
  return status;
}

MinuteHistory::Counters MinuteHistory::CurrentCounters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

}  // namespace kalvix
