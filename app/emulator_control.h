// The emulator's switches and the acceptance of the operator's emulated raw values. The
// pollers read the flags and EmulatorValues on their own threads; both are atomic.
#ifndef KALVIX_APP_EMULATOR_CONTROL_H_
#define KALVIX_APP_EMULATOR_CONTROL_H_

#include <string>
#include <vector>

#include "app/service_state.h"

namespace kalvix {

enum class EmulatorSwitch {
  kBoth,  // "Включить эмулятор": both flags
  kV120,
  kJumo,
};

// Sets the flag(s) and posts and journals the switch's text.
void SwitchEmulator(ServiceState& s, EmulatorSwitch which, bool on);

// Takes texts[i] into EmulatorValues slot i for every slot of the signal set, then renews
// the time stamp. A text that is not a number ends the acceptance there: the slots before it
// keep their new values, the stamp is not renewed, and its slot is returned. -1 when all
// were taken.
int AcceptEmulatorValues(ServiceState& s, const std::vector<std::string>& texts);

}  // namespace kalvix

#endif  // KALVIX_APP_EMULATOR_CONTROL_H_
