#include "monitor/metrics_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace kalvix {
namespace {

// Numbers as Prometheus's parser (Go's ParseFloat) reads them: the special values by their
// names, every finite value exactly (it must read back as the same double).
TEST(MetricsText, NumbersReadBackExactly) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {0.0, "0"},
      {1.0, "1"},
      {-3.0, "-3"},
      {0.012, "0.012"},
      {0.1 + 0.2, "0.30000000000000004"},
      {0.0001, "0.0001"},  // a bucket bound as a person writes it
      {1e-05, "1e-05"},
      {1765432109.875, "1765432109.875"},
      {1.5e20, "1.5e+20"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {std::numeric_limits<double>::infinity(), "+Inf"},
      {-std::numeric_limits<double>::infinity(), "-Inf"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
  };
  for (const Case& c : cases) {
    const std::string text = FormatMetricValue(c.value);
    EXPECT_EQ(text, c.text);
    if (std::isfinite(c.value)) {
      EXPECT_EQ(std::strtod(text.c_str(), nullptr), c.value) << text;
    }
  }
}

TEST(MetricsText, LabelValuesAndHelpTextsAreEscapedEachByItsOwnRule) {
  struct Case {
    const char* raw;
    const char* label;  // backslash, quote and line feed escaped
    const char* help;   // backslash and line feed; a quote stays
  };
  const Case cases[] = {
      {"JUMO 1", "JUMO 1", "JUMO 1"},
      {R"(C:\path)", R"(C:\\path)", R"(C:\\path)"},
      {R"(say "hi")", R"(say \"hi\")", R"(say "hi")"},
      {"two\nlines", R"(two\nlines)", R"(two\nlines)"},
      {R"(\n)", R"(\\n)", R"(\\n)"},  // a backslash before n is not a line feed
      {"кириллица", "кириллица", "кириллица"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EscapeLabelValue(c.raw), c.label) << c.raw;
    EXPECT_EQ(EscapeHelpText(c.raw), c.help) << c.raw;
  }
}

TEST(MetricsText, FamilyHasItsHelpAndTypeLinesThenItsSamples) {
  MetricsText m;
  m.Family("kalvix_x_total", MetricType::kCounter, "Things done.\nSecond \\ line.");
  m.IntegerSample("kalvix_x_total", {{"module", "jumo1"}, {"cause", "a\"b"}}, 9007199254740993);
  m.Family("kalvix_y_seconds", MetricType::kGauge, "A time.");
  m.Sample("kalvix_y_seconds", {}, 0.25);
  EXPECT_EQ(m.Text(),
            "# HELP kalvix_x_total Things done.\\nSecond \\\\ line.\n"
            "# TYPE kalvix_x_total counter\n"
            "kalvix_x_total{module=\"jumo1\",cause=\"a\\\"b\"} 9007199254740993\n"
            "# HELP kalvix_y_seconds A time.\n"
            "# TYPE kalvix_y_seconds gauge\n"
            "kalvix_y_seconds 0.25\n");
}

TEST(MetricsText, HistogramAndSummaryLayout) {
  MetricsText m;
  const std::vector<double> bounds = {0.001, 0.5};
  const std::vector<uint64_t> cumulative = {2, 5, 7};
  m.Histogram("h_seconds", {{"m", "a"}}, bounds, cumulative, 1.25);
  const MetricQuantile quantiles[] = {{0.5, 0.01}, {0.99, std::nan("")}};
  m.Summary("s_seconds", {}, quantiles, 3, 4);
  EXPECT_EQ(m.Text(),
            "h_seconds_bucket{m=\"a\",le=\"0.001\"} 2\n"
            "h_seconds_bucket{m=\"a\",le=\"0.5\"} 5\n"
            "h_seconds_bucket{m=\"a\",le=\"+Inf\"} 7\n"
            "h_seconds_sum{m=\"a\"} 1.25\n"
            "h_seconds_count{m=\"a\"} 7\n"
            "s_seconds{quantile=\"0.5\"} 0.01\n"
            "s_seconds{quantile=\"0.99\"} NaN\n"
            "s_seconds_sum 3\n"
            "s_seconds_count 4\n");
}

// A histogram that has recorded nothing still has its +Inf bucket, sum and count.
TEST(MetricsText, EmptyHistogramStillHasTheInfiniteBucket) {
  MetricsText m;
  m.Histogram("h", {}, {}, {}, 0);
  EXPECT_EQ(m.Text(), "h_bucket{le=\"+Inf\"} 0\nh_sum 0\nh_count 0\n");
}

}  // namespace
}  // namespace kalvix
