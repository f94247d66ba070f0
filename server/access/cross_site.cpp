#include "cross_site.h"

#include <vector>

#include "request.h"
#include "text_case.h"

namespace vel {

namespace {

struct HostPort {
  std::string host;  // lower case; an IPv6 address with its brackets
  std::string port;  // empty when none is written
};

// "name", "name:8080", "[::1]:8080"; nothing for an empty or malformed text.
std::optional<HostPort> SplitHostPort(const std::string& text) {
  HostPort at;
  size_t portFrom = std::string::npos;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos) return std::nullopt;
    at.host = text.substr(0, close + 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return std::nullopt;
      portFrom = close + 2;
    }
  } else {
    const size_t colon = text.rfind(':');
    at.host = text.substr(0, colon);
    if (colon != std::string::npos) portFrom = colon + 1;
  }
  if (portFrom != std::string::npos) {
    at.port = text.substr(portFrom);
    if (at.port.empty() || at.port.find_first_not_of("0123456789") != std::string::npos) {
      return std::nullopt;
    }
    at.port.erase(0, std::min(at.port.find_first_not_of('0'), at.port.size() - 1));
  }
  if (at.host.empty()) return std::nullopt;
  for (char& c : at.host) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return at;
}

// Whether the origin "scheme://host[:port]" is the server that `host` (the Host
// header's value) names.
bool SameOrigin(const std::string& origin, const std::string& host) {
  const size_t slashes = origin.find("://");
  if (slashes == std::string::npos) return false;
  const std::string scheme = AsciiUpperText(origin.substr(0, slashes));
  const std::string defaultPort = scheme == "HTTP" ? "80" : scheme == "HTTPS" ? "443" : "";
  if (defaultPort.empty()) return false;
  const std::optional<HostPort> from = SplitHostPort(origin.substr(slashes + 3));
  const std::optional<HostPort> to = SplitHostPort(host);
  if (!from || !to) return false;
  return from->host == to->host && (from->port.empty() ? defaultPort : from->port) ==
                                       (to->port.empty() ? defaultPort : to->port);
}

// The origin ("scheme://host[:port]") of a URL.
std::string OriginOf(const std::string& url) {
  const size_t slashes = url.find("://");
  if (slashes == std::string::npos) return url;
  return url.substr(0, url.find_first_of("/?#", slashes + 3));
}

}  // namespace

bool MadeByAnotherPage(const HttpRequest& request) {
  if (CrossSiteReason(request)) return true;
  if (!request.HeaderValues("Sec-Fetch-Site").empty() || !request.HeaderValues("Origin").empty()) {
    return false;
  }
  const std::vector<std::string> referer = request.HeaderValues("Referer");
  if (referer.empty()) return false;
  const std::vector<std::string> host = request.HeaderValues("Host");
  return referer.size() != 1 || host.size() != 1 || !SameOrigin(OriginOf(referer[0]), host[0]);
}

std::optional<std::string> CrossSiteReason(const HttpRequest& request) {
  const std::vector<std::string> site = request.HeaderValues("Sec-Fetch-Site");
  if (!site.empty()) {
    if (site.size() == 1 &&
        (EqualsAsciiNoCase(site[0], "same-origin") || EqualsAsciiNoCase(site[0], "none"))) {
      return std::nullopt;
    }
    return std::string("a page of another web site sent this post (so says Sec-Fetch-Site)");
  }
  const std::vector<std::string> origin = request.HeaderValues("Origin");
  if (origin.empty()) return std::nullopt;
  const std::vector<std::string> host = request.HeaderValues("Host");
  if (origin.size() == 1 && host.size() == 1 && SameOrigin(origin[0], host[0])) {
    return std::nullopt;
  }
  return std::string("a page of another web site sent this post (its Origin is not this server)");
}

}  // namespace vel
