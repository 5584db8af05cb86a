#include "acquisition/control_vector.h"

#include <string>

#include "util/number_format.h"

namespace kalvix {

bool PollControlVector(Setpoints& setpoints, SignalSet& signals, int32_t maxWriteCount,
                       SelectSource& selects, JournalNumbering& journal, StatementSink& statements,
                       DateTime now) {
  DbValue newest;
  if (!selects.SelectValue("select CAST( IFNULL( max(RecMoment), '2007-01-01 01:01:01')  AS "
                           "DATETIME) Rez from control_vector",
                           newest)) {
    return false;
  }
  double t = 0;
  if (!DbToNumber(newest, t) || t <= setpoints.LastTaskTime.load()) return true;

  const std::string condition = "where RecMoment='" + FormatDateTime("yyyy-mm-dd hh:nn:ss", t) + "'";
  DbValue user, plsz, tnz;
  if (!selects.SelectValue("select UserName as Rez from control_vector " + condition, user) ||
      !selects.SelectValue("select _PLSZ as Rez from control_vector " + condition, plsz) ||
      !selects.SelectValue("select _TNZ as Rez from control_vector " + condition, tnz)) {
    return false;
  }

  std::string message = "Новое задание:";
  double value = 0;
  if (DbToNumber(plsz, value)) {
    setpoints.JumoWriteCountdown = maxWriteCount;
    setpoints.PlszSetpoint = value;
    signals.OutputValues.SetSlot(signals.SignalIndex("_PLSZ"), value);
    setpoints.JumoWritePending = true;
    message += " Плотность=" + FormatDisplay(value);
  }
  if (DbToNumber(tnz, value)) {
    setpoints.TnzSetpoint = value;
    message += " Нагрузка=" + FormatDisplay(value);
    setpoints.TnzWritePending = true;
  }
  setpoints.LastTaskTime = t;
  const std::string source = DbIsNull(user) ? std::string() : DbToText(user);
  AddJournalRecordAt(journal, statements, now, message, source);
  return true;
}

}  // namespace kalvix
