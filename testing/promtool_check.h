// Prometheus's own check of a text exposition: `promtool check metrics` on a scrape, as a
// site's monitoring would read it.
#ifndef KALVIX_TESTING_PROMTOOL_CHECK_H_
#define KALVIX_TESTING_PROMTOOL_CHECK_H_

#include <filesystem>
#include <string>

namespace kalvix {

struct PromtoolVerdict {
  bool ran = false;   // promtool started and ended normally
  int exitCode = -1;  // 0: accepted
  std::string said;   // everything it printed (problems and warnings); empty when clean
};

// Writes `text` to `scratch` and runs promtool on it.
PromtoolVerdict CheckMetricsWithPromtool(const std::string& text,
                                         const std::filesystem::path& scratch);

}  // namespace kalvix

#endif  // KALVIX_TESTING_PROMTOOL_CHECK_H_
