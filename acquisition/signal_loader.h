// LoadSignalSet: the signal layout and the calibration points, from the tables `signal` and
// `kalibr` on the user connection. An empty `signal` table is seeded from the columns of
// pu_data with the default rules; a signal without calibration points gets the identity
// (0,0)-(100,100), which is also written to `kalibr`.
//
// Window thread only, and only while no acquisition thread runs: the set is replaced whole.
#ifndef KALVIX_ACQUISITION_SIGNAL_LOADER_H_
#define KALVIX_ACQUISITION_SIGNAL_LOADER_H_

#include <string>
#include <vector>

#include "persistence/db_connection.h"
#include "plant/signal_set.h"

namespace kalvix {

// Calibration points kept per signal: a table of 512 or more points converts nothing, so a
// longer list in `kalibr` is cut to the 511 lowest points (and said so in the log).
inline constexpr int kMaxLoadedCalibrationPoints = kMaxCalibrationPoints - 1;

// Loads or seeds the set. On a database error it returns the error and leaves the set as it
// was (the caller reports it); more than 100 signals post "### Слишком много сигналов ###"
// and leave the set as it was (that is no database error).
DbStatus LoadSignalSet(DbConnection& user, SignalSet& set);

// The default layout for the columns of pu_data (RecMoment left out), in column order.
std::vector<TSignalSet> SeedLayout(const std::vector<std::string>& columns);

}  // namespace kalvix

#endif  // KALVIX_ACQUISITION_SIGNAL_LOADER_H_
