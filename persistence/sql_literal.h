// SQL literals. Every number and text that goes into a statement passes through these two
// functions, and every identifier made from data (a signal name used as a column) through
// SqlIdentifier.
#ifndef KALVIX_PERSISTENCE_SQL_LITERAL_H_
#define KALVIX_PERSISTENCE_SQL_LITERAL_H_

#include <string>
#include <string_view>

namespace kalvix {

// x as a numeric literal in the general format, always with a point: 2.5, 1000, -0.25,
// 1.5E-7. NaN and the infinities have no literal the server accepts and give NULL.
std::string SqlFloat(double x);

// s as a string literal: quoted, with a backslash before ', \ and ". A NUL byte becomes \0
// so that it cannot cut the statement short. The empty text gives NULL without quotes.
std::string SqlText(std::string_view s);

// As SqlText, but the empty text is the empty literal '': for a key such as a signal name,
// where NULL would match no row and be refused by a NOT NULL column.
std::string SqlString(std::string_view s);

// name as a quoted identifier: `name`, with every backtick inside doubled.
std::string SqlIdentifier(std::string_view name);

}  // namespace kalvix

#endif  // KALVIX_PERSISTENCE_SQL_LITERAL_H_
