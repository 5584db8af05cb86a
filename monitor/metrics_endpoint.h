// MetricsEndpoint: answers "GET /metrics" over HTTP with the text its render function
// writes; any other path is 404, any other method on /metrics 405. It changes nothing in the
// service: the render function only reads.
//
// libmicrohttpd serves it on one internal thread of its own, which calls the render function
// for every scrape. The render function must therefore be safe to call from that thread while
// the service runs (it reads atomics and self-guarding pieces) and must outlive the endpoint.
// The destructor stops the thread and closes the socket within milliseconds.
#ifndef KALVIX_MONITOR_METRICS_ENDPOINT_H_
#define KALVIX_MONITOR_METRICS_ENDPOINT_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "monitor/listen_address.h"

struct MHD_Daemon;

namespace kalvix {

class MetricsEndpoint {
 public:
  using Render = std::function<std::string()>;

  // Binds the address and starts serving; nothing, with the reason in *error, when the
  // address cannot be bound or the server does not start.
  static std::unique_ptr<MetricsEndpoint> Start(const ListenAddress& address, Render render,
                                                std::string* error);
  ~MetricsEndpoint();
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  // The port it listens on (the one the system chose when the address said 0).
  uint16_t Port() const { return port_; }

  // The server thread's entry for one request; public only for the C callback.
  struct Access;

 private:
  explicit MetricsEndpoint(Render render) : render_(std::move(render)) {}

  const Render render_;
  MHD_Daemon* daemon_ = nullptr;
  uint16_t port_ = 0;
};

}  // namespace kalvix

#endif  // KALVIX_MONITOR_METRICS_ENDPOINT_H_
