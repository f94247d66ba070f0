// A client's address: IPv4 and IPv6 alike, as the connection table, the access rules and
// the log know a client. Pure functions on byte strings.
//
// An IPv4 address is kept as its IPv6 form ::ffff:a.b.c.d, so that a client of the
// dual-stack listener, whichever way it came in, compares and masks as one address.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vel {

struct IpAddress {
  std::array<uint8_t, 16> bytes{};

  // "10.1.2.3", "::1", "2001:db8::5", "::ffff:10.1.2.3"; nothing for anything else.
  static std::optional<IpAddress> Parse(std::string_view text);
  // The address of a connected peer (AF_INET or AF_INET6).
  static IpAddress FromSocket(const sockaddr_storage& peer);

  bool IsV4() const;
  // The usual text form, IPv4 as dotted decimal: as the log shows clients.
  std::string ToText() const;

  friend bool operator==(const IpAddress&, const IpAddress&) = default;
};

struct IpAddressHash {
  size_t operator()(const IpAddress& address) const;
};

}  // namespace vel
