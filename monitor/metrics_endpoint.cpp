#include "monitor/metrics_endpoint.h"

#include <microhttpd.h>

#include <cstring>
#include <exception>

#include "monitor/metrics_text.h"

namespace kalvix {
namespace {

constexpr const char* kPath = "/metrics";
// A scraper that connects and says nothing holds a connection at most this long.
constexpr unsigned kConnectionTimeoutSeconds = 10;
// Connections served at once; more wait in the listen backlog.
constexpr unsigned kConnectionLimit = 8;

MHD_Result Reply(MHD_Connection* connection, unsigned status, const std::string& body,
                 const char* contentType, const char* allow = nullptr) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
  if (allow != nullptr) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

}  // namespace

struct MetricsEndpoint::Access {
  // The access handler of libmicrohttpd; runs on its server thread. Nothing may leave it.
  static MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url,
                           const char* method, const char* /*version*/, const char* /*uploadData*/,
                           size_t* uploadDataSize, void** /*connectionState*/) {
    const auto* self = static_cast<const MetricsEndpoint*>(cls);
    constexpr const char* kText = "text/plain; charset=utf-8";
    try {
      if (std::strcmp(url, kPath) != 0)
        return Reply(connection, MHD_HTTP_NOT_FOUND, "not found\n", kText);
      const bool get = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0;
      const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
      if (!get && !head) {
        // A body that came with the request is not read; the answer closes the connection.
        *uploadDataSize = 0;
        return Reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET\n", kText, "GET, HEAD");
      }
      return Reply(connection, MHD_HTTP_OK, self->render_(), kMetricsContentType);
    } catch (const std::exception& e) {
      return Reply(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, std::string(e.what()) + "\n", kText);
    } catch (...) {
      return MHD_NO;  // closes the connection
    }
  }
};

std::unique_ptr<MetricsEndpoint> MetricsEndpoint::Start(const ListenAddress& address, Render render,
                                                        std::string* error) {
  const int fd = OpenListenSocket(address, error);
  if (fd < 0) return nullptr;
  std::unique_ptr<MetricsEndpoint> endpoint(new MetricsEndpoint(std::move(render)));
  endpoint->port_ = BoundPort(fd);
  // One internal thread polls the listening socket and every connection; the inter-thread
  // channel lets MHD_stop_daemon wake it at once instead of at its next timeout.
  endpoint->daemon_ = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_USE_ITC, 0, nullptr, nullptr,
      &Access::Handle, endpoint.get(), MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_TIMEOUT,
      kConnectionTimeoutSeconds, MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit, MHD_OPTION_END);
  if (endpoint->daemon_ == nullptr) {
    if (error) *error = "the HTTP server did not start";
    return nullptr;
  }
  return endpoint;
}

MetricsEndpoint::~MetricsEndpoint() {
  // Wakes the server thread, joins it and closes the listening socket and every connection.
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
}

}  // namespace kalvix
