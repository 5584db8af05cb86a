// PseudoTerminal: a pty pair that stands in for a serial cable. The service's serial code
// opens the slave side by its path (SlavePath) exactly as it opens a real port; whoever plays
// the instrument (a test, the simulated plant) reads and writes the master side.
//
// Things that differ from a real line and that a simulated instrument must respect:
//  - bytes arrive at once: there is no transmission time, and termios accepts any speed;
//  - a master writes its request, drains, then discards its input to drop the local echo of
//    an RS-485 converter before it waits for the reply, so an instrument must answer after a
//    turnaround of a few milliseconds, as real ones do (kTurnaroundMs), or its reply may be
//    discarded with the echo;
//  - the slave side is held open here (HoldSlave), so that the master side does not hang up
//    while the port under test is closed and reopened.
// Ownership: one object owns both descriptors; ReadMaster/WriteMaster may be called from
// one responder thread while the serial code works on the slave from another.
#ifndef KALVIX_TESTING_PSEUDO_TERMINAL_H_
#define KALVIX_TESTING_PSEUDO_TERMINAL_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kalvix {

class PseudoTerminal {
 public:
  // Turnaround of a simulated instrument between a request and its reply. Real instruments
  // take a few milliseconds; 10 leaves room for the master being preempted between sending
  // and discarding its echo on a busy machine, and still lies well inside the Modbus
  // master's 40 ms pause.
  static constexpr int kTurnaroundMs = 10;

  // Opens a new pair; Ok() tells whether it worked and Error() why not. The slave side is
  // put in raw mode, so nothing written to the master is echoed or translated before the
  // port under test configures the line itself.
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  bool Ok() const { return masterFd_ >= 0; }
  const std::string& Error() const { return error_; }
  const std::string& SlavePath() const { return slavePath_; }
  int MasterFd() const { return masterFd_; }

  // Writes every byte to the master side; false on error.
  bool WriteMaster(std::span<const uint8_t> bytes);
  // Reads from the master side: waits at most firstMs for the first byte, then keeps reading
  // while the next byte comes within gapMs, up to maxBytes.
  std::vector<uint8_t> ReadMaster(size_t maxBytes, int firstMs, int gapMs = 20);
  // Drops whatever the port under test has written and nobody has read yet.
  void DiscardMaster();

 private:
  int masterFd_ = -1;
  int heldSlaveFd_ = -1;
  std::string slavePath_;
  std::string error_;
};

}  // namespace kalvix

#endif  // KALVIX_TESTING_PSEUDO_TERMINAL_H_
