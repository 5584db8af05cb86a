// The operator's task entered on the "Задания" page: both numbers become the current
// set-points, a row in control_vector (written on the user connection) and a journal row.
// The controllers receive it like a task from any other program, through the control
// thread's next check of control_vector.
#ifndef KALVIX_APP_OPERATOR_TASK_H_
#define KALVIX_APP_OPERATOR_TASK_H_

#include <string>
#include <string_view>

#include "app/service_state.h"

namespace kalvix {

struct OperatorTaskResult {
  enum Kind { kStored, kNotANumber, kDatabaseError } kind = kStored;
  std::string error;  // the database's error, for kDatabaseError
};

// The density is taken first: when only the load text is bad, the density stays set.
// Nothing is inserted or journaled unless both are numbers and the insert succeeded.
OperatorTaskResult EnterOperatorTask(ServiceState& s, std::string_view plszText,
                                     std::string_view tnzText);

}  // namespace kalvix

#endif  // KALVIX_APP_OPERATOR_TASK_H_
