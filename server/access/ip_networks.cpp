#include "ip_networks.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "request.h"

namespace vel {

namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

bool Network::Contains(const IpAddress& address) const {
  int bits = prefix;
  for (size_t i = 0; i < 16 && bits > 0; ++i, bits -= 8) {
    const uint8_t mask = bits >= 8 ? 0xFF : static_cast<uint8_t>(0xFF << (8 - bits));
    if ((address.bytes[i] & mask) != base.bytes[i]) return false;
  }
  return true;
}

bool ParseNetworks(std::string_view text, std::vector<Network>& networks, std::string& error) {
  networks.clear();
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find_first_of(", \t", at);
    const std::string_view entry = text.substr(at, end == std::string_view::npos ? end : end - at);
    at = end == std::string_view::npos ? text.size() : end + 1;
    if (entry.empty()) continue;

    const size_t slash = entry.find('/');
    const std::optional<IpAddress> address = IpAddress::Parse(entry.substr(0, slash));
    int prefix = 128;
    bool ok = address.has_value();
    if (ok && slash != std::string_view::npos) {
      // The prefix counts the bits of the address as written: ::ffff:10.0.0.0/104 is
      // 10.0.0.0/8.
      const bool writtenV4 = entry.substr(0, slash).find(':') == std::string_view::npos;
      const std::string_view digits = entry.substr(slash + 1);
      ok = !digits.empty() && digits.size() <= 3 &&
           digits.find_first_not_of("0123456789") == std::string_view::npos;
      const int value = ok ? std::stoi(std::string(digits)) : 0;
      ok = ok && value <= (writtenV4 ? 32 : 128);
      prefix = writtenV4 ? value + 96 : value;
    }
    if (!ok) {
      error = "\"" + std::string(entry) + "\" is neither an address nor a network";
      return false;
    }
    Network network{*address, prefix};
    // Bits past the prefix are dropped, so that the base compares byte by byte.
    int bits = prefix;
    for (uint8_t& b : network.base.bytes) {
      b &= bits >= 8 ? 0xFF : bits <= 0 ? 0 : static_cast<uint8_t>(0xFF << (8 - bits));
      bits -= 8;
    }
    networks.push_back(network);
  }
  return true;
}

bool InNetworks(const std::vector<Network>& networks, const IpAddress& address) {
  for (const Network& network : networks) {
    if (network.Contains(address)) return true;
  }
  return false;
}

std::optional<IpAddress> LastForwardedFor(const HttpRequest& request) {
  const std::vector<std::string> lines = request.HeaderValues("X-Forwarded-For");
  if (lines.empty()) return std::nullopt;
  std::string_view entry = lines.back();
  if (const size_t comma = entry.rfind(','); comma != std::string_view::npos) {
    entry.remove_prefix(comma + 1);
  }
  entry = Trim(entry);
  if (!entry.empty() && entry.front() == '[') {
    const size_t close = entry.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    entry = entry.substr(1, close - 1);
  } else if (const size_t colon = entry.find(':');
             colon != std::string_view::npos &&
             entry.find(':', colon + 1) == std::string_view::npos) {
    entry = entry.substr(0, colon);  // IPv4 with a port: an IPv6 address has two colons at least
  }
  return IpAddress::Parse(entry);
}

}  // namespace vel
