#include "persistence/plant_constants.h"

#include <exception>
#include <string>

#include "journal/event_log.h"
#include "persistence/sql_interfaces.h"
#include "persistence/sql_literal.h"

namespace kalvix {
namespace {

enum class ConstRead { kMissing, kRead, kUnusable };

ConstRead ReadConst(SelectSource& selects, std::string_view name, double& value) {
  const std::string cond = "where ConstName=" + SqlText(name);
  DbValue count;
  if (!selects.SelectValue("select count(*) Rez from setup " + cond, count))
    return ConstRead::kMissing;
  if (DbNumberOr(count, 0) <= 0) return ConstRead::kMissing;
  DbValue stored;
  if (!selects.SelectValue("select ConstVal as Rez from setup " + cond, stored)) {
    return ConstRead::kMissing;
  }
  double number = 0;
  if (!DbToNumber(stored, number)) {
    // The row is there, so inserting another would not help; the engineers must mend it.
    PostEvent("*** Константа " + std::string(name) +
              " в таблице setup не читается: " + DbToText(stored) + " ***");
    return ConstRead::kUnusable;
  }
  value = number;
  return ConstRead::kRead;
}

bool Ensure(SelectSource& selects, StatementSink& statements, std::string_view name,
            std::atomic<double>& slot) {
  double value = slot.load(std::memory_order_relaxed);
  const bool ok = EnsureSetupConst(selects, statements, name, value);
  slot.store(value, std::memory_order_relaxed);
  return ok;
}

}  // namespace

bool ReadSetupConst(SelectSource& selects, std::string_view name, double& value) {
  return ReadConst(selects, name, value) == ConstRead::kRead;
}

bool EnsureSetupConst(SelectSource& selects, StatementSink& statements, std::string_view name,
                      double& value) {
  try {
    switch (ReadConst(selects, name, value)) {
      case ConstRead::kRead:
        return true;
      case ConstRead::kUnusable:
        return false;
      case ConstRead::kMissing:
        // The name goes through SqlText: an apostrophe in it can neither break the
        // statement nor add to it.
        statements.QueueStatement("insert into setup (ConstName, ConstVal, Comment) VALUES (" +
                                  SqlText(name) + ", " + SqlFloat(value) + ", '')");
        return true;
    }
    return false;
  } catch (const std::exception&) {
    return false;
  }
}

bool SeedSetupConsts(SelectSource& selects, StatementSink& statements, PlantConstants& constants) {
  return Ensure(selects, statements, "MIN_PLS", constants.MIN_PLS) &&
         Ensure(selects, statements, "MIN_NAGR", constants.MIN_NAGR);
}

}  // namespace kalvix
