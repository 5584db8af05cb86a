// Plant constants: thresholds that the plant's engineers keep in the table setup
// (ConstName, ConstVal, Comment). The control thread reads them at its start through the
// select queue; a constant missing from the table is added with its in-memory value, so the
// engineers find it there to edit.
#ifndef KALVIX_PERSISTENCE_PLANT_CONSTANTS_H_
#define KALVIX_PERSISTENCE_PLANT_CONSTANTS_H_

#include <atomic>
#include <string_view>

namespace kalvix {

class SelectSource;
class StatementSink;

// The constants in memory: 0 until first read, then the last value read for the rest of the
// run. Written by the control thread; atomics so that the window may show them.
struct PlantConstants {
  std::atomic<double> MIN_PLS{0};   // threshold on the suspension density (signal PLS)
  std::atomic<double> MIN_NAGR{0};  // threshold on the plant load (signal TNK23)
};

// True, with value set, when the table holds the constant and its value could be read;
// false otherwise (value unchanged). A failed count query counts as "not there"; a value
// that is no number (NULL) is posted as unreadable.
bool ReadSetupConst(SelectSource& selects, std::string_view name, double& value);

// Reads the constant; when it is not there (or the query failed), queues its insertion with
// the current value and an empty comment. False only when the constant is there but its value
// cannot be used as a number (NULL), or something failed unexpectedly.
bool EnsureSetupConst(SelectSource& selects, StatementSink& statements, std::string_view name,
                      double& value);

// EnsureSetupConst for MIN_PLS, then for MIN_NAGR. False at the first that fails, leaving the
// second unread.
bool SeedSetupConsts(SelectSource& selects, StatementSink& statements, PlantConstants& constants);

}  // namespace kalvix

#endif  // KALVIX_PERSISTENCE_PLANT_CONSTANTS_H_
