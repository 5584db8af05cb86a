#include "testing/libmodbus_slave.h"

#include <modbus/modbus.h>
#include <poll.h>

#include <chrono>

namespace kalvix {

LibmodbusSlave::LibmodbusSlave(PseudoTerminal& pty, int address, int registerCount) : pty_(pty) {
  // The device name is never opened: the context works on the pty's master descriptor.
  ctx_ = modbus_new_rtu("/dev/null", 9600, 'N', 8, 1);
  map_ = modbus_mapping_new(0, 0, registerCount, 0);
  if (!Ok()) return;
  modbus_set_slave(ctx_, address);
  modbus_set_socket(ctx_, pty_.MasterFd());
  thread_ = std::thread(&LibmodbusSlave::Serve, this);
}

LibmodbusSlave::~LibmodbusSlave() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  // modbus_close would restore and close the pty's descriptor, which is not ours.
  if (map_) modbus_mapping_free(map_);
  if (ctx_) modbus_free(ctx_);
}

void LibmodbusSlave::WithRegisters(const std::function<void(uint16_t*)>& f) {
  std::lock_guard lock(mapMutex_);
  f(map_->tab_registers);
}

void LibmodbusSlave::Serve() {
  uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
  while (!stop_.load()) {
    pollfd p{pty_.MasterFd(), POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0 || !(p.revents & POLLIN)) continue;
    const int length = modbus_receive(ctx_, request);
    if (length <= 0) continue;  // not for us, or a broken frame
    std::this_thread::sleep_for(std::chrono::milliseconds(PseudoTerminal::kTurnaroundMs));
    std::lock_guard lock(mapMutex_);
    modbus_reply(ctx_, request, length, map_);
    served_.fetch_add(1);
  }
}

}  // namespace kalvix
