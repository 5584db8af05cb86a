#include "devices/line_recovery.h"

#include "journal/event_log.h"

namespace kalvix {

bool ModbusLineRecovery::BeforePass() {
  if (link_ == nullptr) return true;
  if (!lost_ && link_->Connected.load() && link_->Handle.LineFailed()) {
    lost_ = true;
    speed_ = link_->Speed.load();
    link_->Close();
    PostEvent("*** JUMO: линия " + link_->PortName + " потеряна, порт будет открыт заново ***");
  }
  if (!lost_) return true;
  if (!link_->Open(speed_)) return false;
  lost_ = false;
  ledgers_[kModuleJumo1].RecordReopening();
  ledgers_[kModuleJumo2].RecordReopening();
  PostEvent("=== JUMO: порт " + link_->PortName + " открыт заново ===");
  return true;
}

bool VisionLineRecovery::BeforePass() {
  if (!lost_ && link_.Active() && link_.LineFailed()) {
    lost_ = true;
    link_.SetActive(false);
    PostEvent("*** V120: линия " + link_.PortName() + " потеряна, порт будет открыт заново ***");
  }
  if (!lost_) return true;
  link_.SetActive(true);
  if (!link_.Active()) return false;
  lost_ = false;
  ledger_.RecordReopening();
  PostEvent("=== V120: порт " + link_.PortName() + " открыт заново ===");
  return true;
}

}  // namespace kalvix
