#include "persistence/minute_history.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

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

// "G2=1234.5;G23=17;G41=0.25": the counters of a kept row, for the priming after a new start.
std::string CountersText(const std::vector<HistoryValue>& row) {
  std::string text;
  for (const CounterPair& pair : kCounters) {
    for (const HistoryValue& v : row) {
      if (v.name != pair.counter || !std::isfinite(v.value)) continue;
      char number[32];
      const auto end = std::to_chars(number, number + sizeof number, v.value).ptr;
      if (!text.empty()) text += ';';
      text += v.name + '=' + std::string(number, end);
    }
  }
  return text;
}

// The value of counter in a CountersText; false when it has none.
bool CounterFromText(std::string_view text, std::string_view counter, double& value) {
  while (!text.empty()) {
    const size_t end = std::min(text.find(';'), text.size());
    const std::string_view item = text.substr(0, end);
    const size_t eq = item.find('=');
    if (eq != std::string_view::npos && item.substr(0, eq) == counter) {
      const std::string_view number = item.substr(eq + 1);
      const auto [ptr, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
      return ec == std::errc() && ptr == number.data() + number.size() && std::isfinite(value);
    }
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return false;
}

int ValidMinuteSeconds(int seconds) { return seconds > 0 && 60 % seconds == 0 ? seconds : 60; }

}  // namespace

std::string MinuteKey(DateTime moment, int minuteSeconds) {
  minuteSeconds = ValidMinuteSeconds(minuteSeconds);
  if (minuteSeconds == 60) return FormatDateTime("yyyy-mm-dd hh:nn", moment) + ":00";
  const int second = DecodeDateTime(moment).second / minuteSeconds * minuteSeconds;
  const char tens = static_cast<char>('0' + second / 10);
  const char units = static_cast<char>('0' + second % 10);
  return FormatDateTime("yyyy-mm-dd hh:nn:", moment) + tens + units;
}

std::string HistoryUpsertStatement(const std::vector<HistoryValue>& row, const std::string& key) {
  std::string names = "INSERT into pu_data (RecMoment ";
  std::string values = "VALUES( " + SqlText(key) + " ";
  std::string updates;
  for (const HistoryValue& v : row) {
    const std::string column = SqlIdentifier(v.name);
    names += ", " + column;
    values += ", " + SqlFloat(v.value);
    if (IsOutput(v.name)) continue;
    updates +=
        (updates.empty() ? " ON DUPLICATE KEY UPDATE " : ", ") + column + "=VALUES(" + column + ")";
  }
  // A row of set-points alone: updating RecMoment to itself makes the statement complete.
  if (updates.empty()) updates = " ON DUPLICATE KEY UPDATE RecMoment=RecMoment";
  return names + ") " + values + ")" + updates;
}

MinuteHistory::MinuteHistory(int minuteSeconds)
    : minuteSeconds_(ValidMinuteSeconds(minuteSeconds)) {}

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
    if (!selects.SelectValue(
            "select max(RecMoment) as Rez from pu_data where RecMoment < '" + key + "'", moment)) {
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

void MinuteHistory::RecordRow(const SignalSet& set, const std::string& key, DateTime now) {
  const bool newRow = current_.key != key;
  if (newRow) {
    previous_ = std::move(current_);
    current_ = MinuteRow{};
    current_.key = key;
  }
  current_.moment = now;
  const auto& signals = set.Signals();
  const int count = set.SignalCount();
  for (int i = 0; i < count; ++i) {
    const std::string& name = signals[static_cast<size_t>(i)].SignalName;
    if (name.empty()) continue;
    const double value = set.AveragedValues.Slot(i);
    // The row follows the set's order, so the same place nearly always holds the signal.
    auto it = current_.values.begin();
    if (static_cast<size_t>(i) < current_.values.size() &&
        current_.values[static_cast<size_t>(i)].name == name) {
      it += i;
    } else {
      it = std::find_if(current_.values.begin(), current_.values.end(),
                        [&](const HistoryValue& v) { return v.name == name; });
    }
    if (it == current_.values.end()) {
      current_.values.push_back({name, value});
    } else if (!IsOutput(name)) {
      it->value = value;  // set-points keep the minute's first value, as its insert wrote it
    }
  }
}

void MinuteHistory::Keep(const MinuteRow& row, RowKeeper* keeper) {
  if (keeper == nullptr || row.key.empty()) return;
  keeper->KeepMinute(row.moment, row.key, HistoryUpsertStatement(row.values, row.key),
                     CountersText(row.values));
}

void MinuteHistory::MarkUnwritten(const std::string& key, RowKeeper* keeper) {
  MinuteRow ended;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_.key == key) {
      current_.unwritten = true;  // kept when it ends
      return;
    }
    if (previous_.key != key || previous_.kept) return;
    previous_.kept = true;
    ended = previous_;
  }
  Keep(ended, keeper);
}

void MinuteHistory::KeepUnwrittenMinute(RowKeeper* keeper) {
  MinuteRow ended;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_.key.empty()) return;
    previous_ = std::move(current_);
    current_ = MinuteRow{};
    if (!previous_.unwritten || previous_.kept) return;
    previous_.kept = true;
    ended = previous_;
  }
  Keep(ended, keeper);
}

bool MinuteHistory::Update_PAF_record(SignalSet& set, const ControlState& control,
                                      const HistoryOptions& opt, SelectSource& selects,
                                      StatementSink& statements, DateTime now) {
  try {
    const std::string key = MinuteKey(now, minuteSeconds_);
    std::string sql;
    RowKeeper* const keeper = statements.Keeper();
    MinuteRow ended;  // the minute that ended with this cycle, when it must be kept
    if (opt.old_update_mode) {
      if (!opt.serverUp) return true;
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
    if (keeper != nullptr) {
      std::lock_guard<std::mutex> lock(mutex_);
      RecordRow(set, key, now);
      if (previous_.unwritten && !previous_.kept) {
        previous_.kept = true;
        ended = previous_;
      }
      // A running minute that missed a statement is written whole by its next one once the
      // server is there: an update alone finds no row where the insert was missed, and the
      // row would wait for the minute's end. A statement not taken or given up marks it again.
      if (opt.serverUp && current_.unwritten) {
        sql = HistoryUpsertStatement(current_.values, key);
        current_.unwritten = false;
      }
    }
    Keep(ended, keeper);
    if (sql.empty()) return true;
    if (keeper == nullptr) {
      statements.QueueStatement(sql);
    } else if (!statements.QueueKept(sql, [this, key, keeper] { MarkUnwritten(key, keeper); })) {
      MarkUnwritten(key, keeper);
    }
    return true;
  } catch (...) {
    PostEvent("!!! Ошибка в функции Update_PAF_record() !!!");
    return false;
  }
}

DbStatus MinuteHistory::SQLConnectionUserAfterConnect(DbConnection& user, DateTime now,
                                                      const KeptMinute* newestKept) {
  const std::string currentKey = MinuteKey(now, minuteSeconds_);
  std::lock_guard<std::mutex> lock(mutex_);
  const std::array<bool, 3> knownBefore = counters_.known;
  // A counter read in this run goes on counting through an outage; priming it again from
  // the stored rows would count the outage's minutes a second time.
  if (knownBefore == std::array<bool, 3>{true, true, true}) return DbStatus::Ok();
  const Counters before = counters_;
  counters_.start = {};
  counters_.known = {};
  counters_.previousMinuteKey.clear();

  DbValue rez;
  DbStatus status = user.QueryValue("select max(RecMoment) as rez from pu_data", "rez", rez);
  double moment = 0;
  if (status.ok() && DbToNumber(rez, moment)) {
    counters_.previousMinuteKey = MinuteKey(moment, minuteSeconds_);
    if (counters_.previousMinuteKey == currentKey) {
      // The newest row is the current minute's: the counters start from the one before.
      status = user.QueryValue(
          "select max(RecMoment) as rez from pu_data where RecMoment<'" + currentKey + "'", "rez",
          rez);
      if (status.ok() && !DbToNumber(rez, moment)) moment = 0;
      counters_.previousMinuteKey = moment != 0 ? MinuteKey(moment, minuteSeconds_) : std::string();
    }
  }
  if (status.ok() && !counters_.previousMinuteKey.empty()) {
    DbResult result;
    status = user.Query(
        "select G2, G23, G41 from pu_data where RecMoment='" + counters_.previousMinuteKey + "'",
        result);
    if (status.ok() && !result.rows.empty()) {
      for (size_t c = 0; c < kCounters.size(); ++c) {
        const int index = result.ColumnIndex(kCounters[c].counter);
        if (index >= 0) {
          counters_.known[c] =
              DbToNumber(result.rows[0][static_cast<size_t>(index)], counters_.start[c]);
        }
      }
    }
  }
  if (!status.ok()) return status;
  // A kept minute newer than the stored ones: the spool has not been written back yet.
  if (newestKept != nullptr && newestKept->key > counters_.previousMinuteKey &&
      newestKept->key < currentKey) {
    counters_.previousMinuteKey = newestKept->key;
    for (size_t c = 0; c < kCounters.size(); ++c) {
      counters_.start[c] = 0;
      counters_.known[c] =
          CounterFromText(newestKept->counters, kCounters[c].counter, counters_.start[c]);
      if (!counters_.known[c]) counters_.start[c] = 0;
    }
    moment = newestKept->moment;
  }
  counters_.last = counters_.start;
  counters_.lastRefresh = counters_.previousMinuteKey.empty() ? 0 : moment;
  if (knownBefore != std::array<bool, 3>{false, false, false}) {
    // Some counters run already: they and the moment of the last reading stay as they are.
    for (size_t c = 0; c < kCounters.size(); ++c) {
      if (!knownBefore[c]) continue;
      counters_.start[c] = before.start[c];
      counters_.last[c] = before.last[c];
      counters_.known[c] = true;
    }
    counters_.previousMinuteKey = before.previousMinuteKey;
    counters_.lastRefresh = before.lastRefresh;
  }
  return status;
}

MinuteHistory::Counters MinuteHistory::CurrentCounters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

}  // namespace kalvix
