#include "app/metrics_start.h"

#include <chrono>

#include "journal/event_log.h"
#include "monitor/service_metrics.h"

namespace kalvix {

void StartMetrics(ServiceState& s) {
  if (s.startup.MetricsTried) return;
  s.startup.MetricsTried = true;
  const std::string listen = s.SettingsSnapshot().MetricsListen;
  if (listen.empty()) return;
  const std::optional<ListenAddress> address = ParseListenAddress(listen);
  if (!address) {
    PostEvent("*** Метрики не отдаются: MetricsListen=" + listen +
              " - нужен адрес вида host:port ***");
    return;
  }
  MetricsSources sources{
      s.control,
      s.busLedgers,
      s.db.work,
      s.db.user,
      s.db.statements,
      s.db.selects,
      s.db.spool,
      s.stateRecord,
      kProgramVersion,
      std::chrono::duration<double>(ToTimePoint(s.ProgramStartTime).time_since_epoch()).count()};
  std::string error;
  s.metrics = MetricsEndpoint::Start(
      *address, [sources = std::move(sources)] { return RenderServiceMetrics(sources); }, &error);
  if (!s.metrics) {
    PostEvent("*** Метрики не отдаются: " + error + " ***");
    return;
  }
  PostEvent("Метрики для Prometheus: http://" + listen + "/metrics");
}

}  // namespace kalvix
