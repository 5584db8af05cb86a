// A minimal HTTP/1.1 client over a plain TCP socket, for the tests and the benchmark of the
// metrics endpoint: one request, "Connection: close", the whole answer read until the server
// closes. Not a general client: no chunked bodies, no redirects.
#ifndef KALVIX_TESTING_HTTP_CLIENT_H_
#define KALVIX_TESTING_HTTP_CLIENT_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kalvix {

struct HttpReply {
  int status = 0;
  std::string headers;  // the header lines as received, CR LF separated
  std::string body;
  // The value of a header (name matched regardless of case), or "".
  std::string Header(std::string_view name) const;
};

// Nothing when no connection could be made, the limit passed or the answer is no HTTP.
std::optional<HttpReply> HttpRequest(uint16_t port, std::string_view method, std::string_view path,
                                     std::chrono::milliseconds limit = std::chrono::seconds(5),
                                     std::string_view body = {});

// A TCP port on 127.0.0.1 that nothing listened on a moment ago (the system's choice).
uint16_t FreeLoopbackPort();

}  // namespace kalvix

#endif  // KALVIX_TESTING_HTTP_CLIENT_H_
