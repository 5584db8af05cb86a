#include "app/emulator_control.h"

#include "app/operator_input.h"
#include "journal/event_log.h"

namespace kalvix {

void SwitchEmulator(ServiceState& s, EmulatorSwitch which, bool on) {
  const char* text = "";
  switch (which) {
    case EmulatorSwitch::kBoth:
      s.control.JumoEmulFlag = on;
      s.control.V120EmulFlag = on;
      text = on ? "*** Включен эмулятор ***" : "--- Эмулятор выключен ---";
      break;
    case EmulatorSwitch::kV120:
      s.control.V120EmulFlag = on;
      text = on ? "*** Включен эмулятор V120 ***" : "--- Эмулятор V120 выключен ---";
      break;
    case EmulatorSwitch::kJumo:
      s.control.JumoEmulFlag = on;
      text = on ? "*** Включен эмулятор JUMO ***" : "--- Эмулятор JUMO выключен ---";
      break;
  }
  PostEvent(text);
  AddJournalRecord(s, text, kServiceSource);
}

int AcceptEmulatorValues(ServiceState& s, const std::vector<std::string>& texts) {
  const int count = s.signals.SignalCount();
  for (int slot = 0; slot < count; ++slot) {
    double value = 0;
    if (slot >= static_cast<int>(texts.size()) || !ParseOperatorNumber(texts[slot], value)) {
      return slot;
    }
    s.signals.EmulatorValues.SetSlot(slot, value);
  }
  s.signals.EmulatorValues.SetStamp(Now());
  return -1;
}

}  // namespace kalvix
