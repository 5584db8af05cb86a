#include "monitor/metrics_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace kalvix {
namespace {

const char* TypeName(MetricType type) {
  switch (type) {
    case MetricType::kCounter:
      return "counter";
    case MetricType::kGauge:
      return "gauge";
    case MetricType::kHistogram:
      return "histogram";
    case MetricType::kSummary:
      return "summary";
  }
  return "untyped";
}

std::string FormatInteger(int64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

}  // namespace

std::string FormatMetricValue(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  // The shortest text that reads back exactly: plain for the sizes this service has (times,
  // timestamps, bucket bounds: "0.0001", "1765432109.875"), with an exponent beyond them
  // ("1e-05", "1.5e+20"). Go's ParseFloat reads each of them.
  const double size = std::fabs(value);
  const bool plain = size == 0 || (size >= 1e-4 && size < 1e15);
  char buffer[32];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value,
                    plain ? std::chars_format::fixed : std::chars_format::scientific);
  return std::string(buffer, result.ptr);
}

std::string EscapeLabelValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string EscapeHelpText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

void MetricsText::Family(std::string_view name, MetricType type, std::string_view help) {
  text_ += "# HELP ";
  text_ += name;
  text_ += ' ';
  text_ += EscapeHelpText(help);
  text_ += "\n# TYPE ";
  text_ += name;
  text_ += ' ';
  text_ += TypeName(type);
  text_ += '\n';
}

void MetricsText::Sample(std::string_view name, MetricLabels labels, double value) {
  Line(name, "", labels, nullptr, FormatMetricValue(value));
}

void MetricsText::IntegerSample(std::string_view name, MetricLabels labels, int64_t value) {
  Line(name, "", labels, nullptr, FormatInteger(value));
}

void MetricsText::Histogram(std::string_view name, MetricLabels labels,
                            std::span<const double> bounds, std::span<const uint64_t> cumulative,
                            double sum) {
  const uint64_t total = cumulative.empty() ? 0 : cumulative.back();
  const size_t finite = std::min(bounds.size(), cumulative.empty() ? 0 : cumulative.size() - 1);
  for (size_t i = 0; i < finite; ++i) {
    const std::string le = FormatMetricValue(bounds[i]);
    const MetricLabel extra{"le", le};
    Line(name, "_bucket", labels, &extra, FormatInteger(static_cast<int64_t>(cumulative[i])));
  }
  const MetricLabel inf{"le", "+Inf"};
  Line(name, "_bucket", labels, &inf, FormatInteger(static_cast<int64_t>(total)));
  Line(name, "_sum", labels, nullptr, FormatMetricValue(sum));
  Line(name, "_count", labels, nullptr, FormatInteger(static_cast<int64_t>(total)));
}

void MetricsText::Summary(std::string_view name, MetricLabels labels,
                          std::span<const MetricQuantile> quantiles, double sum, uint64_t count) {
  for (const MetricQuantile& q : quantiles) {
    const std::string text = FormatMetricValue(q.quantile);
    const MetricLabel extra{"quantile", text};
    Line(name, "", labels, &extra, FormatMetricValue(q.value));
  }
  Line(name, "_sum", labels, nullptr, FormatMetricValue(sum));
  Line(name, "_count", labels, nullptr, FormatInteger(static_cast<int64_t>(count)));
}

void MetricsText::Line(std::string_view name, std::string_view suffix, MetricLabels labels,
                       const MetricLabel* extra, std::string_view value) {
  text_ += name;
  text_ += suffix;
  if (labels.size() > 0 || extra != nullptr) {
    char separator = '{';
    auto add = [&](const MetricLabel& label) {
      text_ += separator;
      text_ += label.name;
      text_ += "=\"";
      text_ += EscapeLabelValue(label.value);
      text_ += '"';
      separator = ',';
    };
    for (const MetricLabel& label : labels) add(label);
    if (extra != nullptr) add(*extra);
    text_ += '}';
  }
  text_ += ' ';
  text_ += value;
  text_ += '\n';
}

}  // namespace kalvix
