// PageServices: what the window's settings page and table editors use of the running service,
// and nothing more. The pages never see the settings' lock or the work connection: they take
// a copy of the settings, hand a change back to be applied under the lock, and run their
// queries on the window thread's own connection.
//
// Threads: window thread only (the settings copy may be taken anywhere).
#ifndef KALVIX_APP_PAGE_SERVICES_H_
#define KALVIX_APP_PAGE_SERVICES_H_

#include <functional>

#include "persistence/db_connection.h"
#include "plant/settings.h"

namespace kalvix {

class PageServices {
 public:
  virtual ~PageServices() = default;

  virtual Settings SettingsSnapshot() const = 0;
  // Runs change on the settings under their lock and returns what it returns.
  virtual bool ApplySettings(const std::function<bool(Settings&)>& change) = 0;
  // The user connection: the editors' reads and writes.
  virtual DbConnection& UserConnection() = 0;
};

}  // namespace kalvix

#endif  // KALVIX_APP_PAGE_SERVICES_H_
