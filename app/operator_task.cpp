#include "app/operator_task.h"

#include "app/operator_input.h"
#include "persistence/sql_literal.h"
#include "util/number_format.h"

namespace kalvix {

OperatorTaskResult EnterOperatorTask(ServiceState& s, std::string_view plszText,
                                     std::string_view tnzText) {
  double plsz = 0, tnz = 0;
  if (!ParseOperatorNumber(plszText, plsz)) return {OperatorTaskResult::kNotANumber, {}};
  s.setpoints.PlszSetpoint = plsz;
  if (!ParseOperatorNumber(tnzText, tnz)) return {OperatorTaskResult::kNotANumber, {}};
  s.setpoints.TnzSetpoint = tnz;

  const std::string sql =
      "insert into control_vector\r\n(RecMoment, UserName, _PLSZ, _TNZ) VALUES ( Now(), "
      "USER(), " +
      SqlFloat(plsz) + ", " + SqlFloat(tnz) + ")";
  const DbStatus status = s.db.user.Execute(sql);
  if (!status.ok()) return {OperatorTaskResult::kDatabaseError, status.Describe()};

  AddJournalRecord(s,
                   "Новое задание: Плотность=" + FormatDisplay(plsz) +
                       ", Нагрузка=" + FormatDisplay(tnz),
                   kServiceSource);
  return {};
}

}  // namespace kalvix
