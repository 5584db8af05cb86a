// The metric families of the reception service: what the metrics endpoint answers. Each
// family is read from the piece of the service that keeps it (atomics, or pieces that guard
// themselves), so a scrape changes nothing and waits for no thread of the service.
//
// Names are in the kalvix_ namespace with their units; labels: module (jumo1, jumo2, v120,
// bk003), cause (the bus ledger's fault names), thread, device, connection.
#ifndef KALVIX_MONITOR_SERVICE_METRICS_H_
#define KALVIX_MONITOR_SERVICE_METRICS_H_

#include <array>
#include <string>

#include "devices/bus_ledger.h"
#include "persistence/db_connection.h"
#include "persistence/spool_keeper.h"
#include "persistence/sql_select_queue.h"
#include "persistence/sql_statement_queue.h"
#include "persistence/state_record.h"
#include "plant/control_state.h"

namespace kalvix {

// The label value of each module, in Module order.
inline constexpr std::array<const char*, kModuleCount> kModuleLabels = {"jumo1", "jumo2", "v120",
                                                                        "bk003"};

// What the families are read from; the state owner's pieces, which outlive the endpoint.
struct MetricsSources {
  const ControlState& control;
  const BusLedgers& ledgers;
  const DbConnection& work;
  const DbConnection& user;
  const SqlStatementQueue& statements;
  const SqlSelectQueue& selects;
  const SpoolKeeper& spool;
  const StateRecord& stateRecord;
  std::string version;      // of the program, for kalvix_build_info
  double startUnixSeconds;  // when the process started
};

// Every family, in the text exposition format. Ages are against the steady clock's now.
std::string RenderServiceMetrics(const MetricsSources& sources);

}  // namespace kalvix

#endif  // KALVIX_MONITOR_SERVICE_METRICS_H_
