// The names the server is reached by, and the check that a request names one of them.
// A page on another site can point a name of its own at this server's address (DNS
// rebinding); the browser then sends that name as Host, and without this check the page
// could read the server's pages and post to it. With status lines on, a request's Host
// (behind a trusted proxy: the proxy's X-Forwarded-Host, where it sends one) must be
//
//   an IPv4 or IPv6 address      127.0.0.1:8080, [::1]
//   localhost                    (and names ending in .localhost)
//   the machine's own names      its host name and fully qualified name
//   a name of [HTTP] Hosts       names separated by commas or blanks; "*" takes any
//
// matched without regard to case, a trailing dot and the port left out. An HTTP/1.1
// request without Host is refused too (RFC 9112 §3.2).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "request.h"

namespace vel {

class HostNames {
 public:
  // Everything passes (no check made).
  HostNames() = default;
  // `hostsKey`: the value of [HTTP] Hosts; the machine's names are looked up here, once.
  explicit HostNames(const std::string& hostsKey);
  // `machineNames`: the machine's own names, as a test gives them.
  HostNames(const std::string& hostsKey, std::vector<std::string> machineNames);

  // Whether `host` (a Host value: a name or address, perhaps with a port) is one of them.
  bool Accepts(const std::string& host) const;

  // What `request` names that is no name of the server: the name, or "" for an HTTP/1.1
  // request without Host; nothing when it may be served. `viaProxy`: it came from a
  // trusted proxy, whose X-Forwarded-Host counts.
  std::optional<std::string> Refused(const HttpRequest& request, bool viaProxy) const;

 private:
  bool checked_ = false;
  bool any_ = false;
  std::vector<std::string> names_;  // lower case, without a trailing dot
};

}  // namespace vel
