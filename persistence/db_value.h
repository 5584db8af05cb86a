// DbValue: one field read from the database, as a variant of the kinds the service reads
// back (NULL, integer, real, text, date-time). A date-time is wrapped in DbDateTime so that it
// stays apart from a real although both are doubles.
#ifndef KALVIX_PERSISTENCE_DB_VALUE_H_
#define KALVIX_PERSISTENCE_DB_VALUE_H_

#include <cstdint>
#include <string>
#include <variant>

#include "util/date_time.h"

namespace kalvix {

struct DbDateTime {
  DateTime value = 0;
  friend bool operator==(const DbDateTime&, const DbDateTime&) = default;
};

using DbValue = std::variant<std::monostate, int64_t, double, std::string, DbDateTime>;

inline bool DbIsNull(const DbValue& v) { return std::holds_alternative<std::monostate>(v); }

// The value as a number: integers and reals as they are, a date-time as its day count, a text
// that holds a number in decimal notation (with a point or a comma) as that number. False,
// with out untouched, for NULL and for a text that is no number.
bool DbToNumber(const DbValue& v, double& out);

// The value as a number, or fallback when DbToNumber cannot give one.
double DbNumberOr(const DbValue& v, double fallback);

// The value as text, for messages: NULL as "NULL", numbers in the general format with a
// point, a date-time as yyyy-mm-dd hh:nn:ss.
std::string DbToText(const DbValue& v);

}  // namespace kalvix

#endif  // KALVIX_PERSISTENCE_DB_VALUE_H_
