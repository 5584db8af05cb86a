// MetricsText: the Prometheus text exposition format (version 0.0.4), written by hand. A
// family is its "# HELP" and "# TYPE" lines followed by its samples; the writer escapes label
// values and HELP texts and writes numbers the way the format's readers parse them.
//
// The writer does not check names: the families are constants of this program, and the
// tests run their output through Prometheus's own checker.
#ifndef KALVIX_MONITOR_METRICS_TEXT_H_
#define KALVIX_MONITOR_METRICS_TEXT_H_

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace kalvix {

enum class MetricType { kCounter, kGauge, kHistogram, kSummary };

struct MetricLabel {
  std::string_view name;
  std::string_view value;
};
using MetricLabels = std::initializer_list<MetricLabel>;

struct MetricQuantile {
  double quantile;  // 0..1
  double value;
};

// "NaN", "+Inf", "-Inf", or the shortest text that reads back as the same double.
std::string FormatMetricValue(double value);
// Label values: backslash, double quote and line feed escaped.
std::string EscapeLabelValue(std::string_view value);
// HELP texts: backslash and line feed escaped (a double quote stays as it is).
std::string EscapeHelpText(std::string_view text);

// The media type of the format, for the Content-Type of an answer.
inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

class MetricsText {
 public:
  // Starts a family: its HELP and TYPE lines. A counter's name ends in _total.
  void Family(std::string_view name, MetricType type, std::string_view help);
  void Sample(std::string_view name, MetricLabels labels, double value);
  // An integer written exactly, not through a double.
  void IntegerSample(std::string_view name, MetricLabels labels, int64_t value);
  // A histogram's samples: a cumulative _bucket per bound (le), the +Inf bucket with the
  // total, _sum and _count. cumulative holds one count more than bounds (the total).
  void Histogram(std::string_view name, MetricLabels labels, std::span<const double> bounds,
                 std::span<const uint64_t> cumulative, double sum);
  // A summary's samples: one per quantile, _sum and _count.
  void Summary(std::string_view name, MetricLabels labels,
               std::span<const MetricQuantile> quantiles, double sum, uint64_t count);

  const std::string& Text() const { return text_; }
  std::string Take() { return std::move(text_); }

 private:
  // name{labels,extra} value
  void Line(std::string_view name, std::string_view suffix, MetricLabels labels,
            const MetricLabel* extra, std::string_view value);

  std::string text_;
};

}  // namespace kalvix

#endif  // KALVIX_MONITOR_METRICS_TEXT_H_
