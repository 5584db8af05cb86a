#include "persistence/connection_params.h"

#include <strings.h>

#include <charconv>

namespace kalvix {
namespace {

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view NameOf(std::string_view line) {
  const size_t eq = line.find('=');
  return eq == std::string_view::npos ? line : line.substr(0, eq);
}

bool ParsePort(std::string_view text, unsigned& port) {
  unsigned value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || value == 0 || value > 65535) {
    return false;
  }
  port = value;
  return true;
}

}  // namespace

ConnectionParams::ConnectionParams()
    : lines_{"HostName=127.0.0.1", std::string("Database=") + kDefaultDatabase, "User_Name=root",
             "Password="} {}

void ConnectionParams::Set(std::string_view name, std::string_view value) {
  std::string line(name);
  line += '=';
  line += value;
  for (std::string& existing : lines_) {
    if (SameName(NameOf(existing), name)) {
      existing = std::move(line);
      return;
    }
  }
  lines_.push_back(std::move(line));
}

std::string ConnectionParams::Value(std::string_view name) const {
  for (const std::string& line : lines_) {
    if (SameName(NameOf(line), name)) {
      const size_t eq = line.find('=');
      return eq == std::string::npos ? std::string() : line.substr(eq + 1);
    }
  }
  return {};
}

bool ParseHostName(std::string_view hostName, DbEndpoint& endpoint) {
  DbEndpoint result;
  if (!hostName.empty() && hostName.front() == '/') {
    result.socketPath = std::string(hostName);
  } else if (!hostName.empty() && hostName.front() == '[') {
    const size_t close = hostName.find(']');
    if (close == std::string_view::npos) return false;
    result.host = std::string(hostName.substr(1, close - 1));
    const std::string_view rest = hostName.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':' || !ParsePort(rest.substr(1), result.port)) return false;
    }
  } else {
    const size_t colon = hostName.find(':');
    if (colon != std::string_view::npos &&
        hostName.find(':', colon + 1) == std::string_view::npos) {
      result.host = std::string(hostName.substr(0, colon));
      if (!ParsePort(hostName.substr(colon + 1), result.port)) return false;
    } else {
      result.host = std::string(hostName);  // a name, an IPv4 address or a bare IPv6 address
    }
  }
  endpoint = std::move(result);
  return true;
}

bool SplitHostList(std::string_view hostName, std::vector<std::string>& entries) {
  std::vector<std::string> result;
  if (hostName.find(',') == std::string_view::npos) {
    result.emplace_back(hostName);
  } else {
    size_t from = 0;
    while (from <= hostName.size()) {
      size_t comma = hostName.find(',', from);
      if (comma == std::string_view::npos) comma = hostName.size();
      std::string_view entry = hostName.substr(from, comma - from);
      while (!entry.empty() && (entry.front() == ' ' || entry.front() == '\t')) {
        entry.remove_prefix(1);
      }
      while (!entry.empty() && (entry.back() == ' ' || entry.back() == '\t')) {
        entry.remove_suffix(1);
      }
      if (entry.empty()) return false;
      result.emplace_back(entry);
      from = comma + 1;
    }
  }
  for (const std::string& entry : result) {
    DbEndpoint endpoint;
    if (!ParseHostName(entry, endpoint)) return false;
  }
  entries = std::move(result);
  return true;
}

}  // namespace kalvix
