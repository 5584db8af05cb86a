// The device side of one simulated serial line: the master end of a pseudo-terminal, whose
// slave end (/dev/pts/N) the service opens as its serial port.
//
// The endpoint also holds the slave end open itself, so the master never sees a hang-up
// between two openings by the service and the line's settings survive them. Raw mode is
// set on the line at once, before anyone opens it, so no byte is echoed or translated even
// for a client that does not configure the port.
//
// Owns both descriptors; not copyable. The master is non-blocking: a reply that finds the
// slave's input queue full (nobody reading) is dropped, as on a line with nobody listening.
#ifndef KALVIX_TOOLS_PLANTSIM_PTY_ENDPOINT_H_
#define KALVIX_TOOLS_PLANTSIM_PTY_ENDPOINT_H_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace kalvix::plantsim {

class PtyEndpoint {
 public:
  // Opens a new pseudo-terminal; null with the reason in *error on failure.
  static std::unique_ptr<PtyEndpoint> Open(std::string* error);

  ~PtyEndpoint();
  PtyEndpoint(const PtyEndpoint&) = delete;
  PtyEndpoint& operator=(const PtyEndpoint&) = delete;

  // The path the service opens, e.g. /dev/pts/7.
  const std::string& SlavePath() const { return slavePath_; }
  int MasterFd() const { return masterFd_; }

  // Reads what has arrived, without waiting; 0 when nothing has, -1 on an error.
  ssize_t Read(std::span<uint8_t> buffer);
  // Writes all bytes; false when the line would not take them.
  bool Write(std::span<const uint8_t> bytes);

 private:
  PtyEndpoint(int masterFd, int slaveFd, std::string slavePath)
      : masterFd_(masterFd), slaveFd_(slaveFd), slavePath_(std::move(slavePath)) {}

  const int masterFd_;
  const int slaveFd_;
  const std::string slavePath_;
};

}  // namespace kalvix::plantsim

#endif  // KALVIX_TOOLS_PLANTSIM_PTY_ENDPOINT_H_
