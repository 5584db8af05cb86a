// Small signal layouts for the acquisition tests.
#ifndef KALVIX_TESTING_TEST_SIGNALS_H_
#define KALVIX_TESTING_TEST_SIGNALS_H_

#include <string>
#include <vector>

#include "plant/signal_set.h"

namespace kalvix::testing {

// A READ signal on the given bus with the identity calibration (0,0)-(100,100).
inline TSignalSet Input(const std::string& name, const std::string& bus = "JUMO") {
  TSignalSet s;
  s.BusName = bus;
  s.SignalName = name;
  s.Direction = kDirectionRead;
  s.calibration.PointCount = 2;
  s.calibration.AVal[1] = 100;
  s.calibration.FVal[1] = 100;
  return s;
}

inline TSignalSet WithDirection(TSignalSet s, const std::string& direction) {
  s.Direction = direction;
  return s;
}

}  // namespace kalvix::testing

#endif  // KALVIX_TESTING_TEST_SIGNALS_H_
