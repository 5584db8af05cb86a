// LibmodbusSlave: an independent Modbus RTU slave, built with libmodbus, on the master side of
// a pseudo-terminal. Tests and benchmarks run our master against it to check our framing
// against someone else's. Not part of the service (only tests and benchmarks link libmodbus).
//
// Threads: the slave serves on its own thread from construction to destruction; the
// register map is shared with the caller through WithRegisters, which holds the map's lock.
#ifndef KALVIX_TESTING_LIBMODBUS_SLAVE_H_
#define KALVIX_TESTING_LIBMODBUS_SLAVE_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "testing/pseudo_terminal.h"

typedef struct _modbus modbus_t;
typedef struct _modbus_mapping_t modbus_mapping_t;

namespace kalvix {

class LibmodbusSlave {
 public:
  // Serves `registerCount` holding registers (0 ...) as slave `address` on the master side
  // of `pty`, which must outlive the slave. Requests for other registers get exception 2.
  LibmodbusSlave(PseudoTerminal& pty, int address, int registerCount);
  ~LibmodbusSlave();
  LibmodbusSlave(const LibmodbusSlave&) = delete;
  LibmodbusSlave& operator=(const LibmodbusSlave&) = delete;

  bool Ok() const { return ctx_ != nullptr && map_ != nullptr; }
  // Runs `f` on the holding registers while the slave cannot touch them.
  void WithRegisters(const std::function<void(uint16_t* registers)>& f);
  // Requests answered so far.
  int Served() const { return served_.load(); }

 private:
  void Serve();

  PseudoTerminal& pty_;
  modbus_t* ctx_ = nullptr;
  modbus_mapping_t* map_ = nullptr;
  std::mutex mapMutex_;  // guards map_'s registers
  std::atomic<bool> stop_{false};
  std::atomic<int> served_{0};
  std::thread thread_;
};

}  // namespace kalvix

#endif  // KALVIX_TESTING_LIBMODBUS_SLAVE_H_
