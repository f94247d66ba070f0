// The networks of the [Access] keys: IPv4 and IPv6 alike, written as they usually are
// ("192.168.10.0/24, 10.1.2.3, ::1"), and the client's address as a reverse proxy passes
// it on (X-Forwarded-For). Pure functions on byte strings. An IPv4 network is held in
// the IPv6 form of its addresses (ip_address.h): 10.0.0.0/8 is ::ffff:10.0.0.0/104.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ip_address.h"
#include "request.h"

namespace vel {

// An address and the number of leading bits that must match (of 128).
struct Network {
  IpAddress base;  // its bits past the prefix are zero
  int prefix = 128;
  bool Contains(const IpAddress& address) const;
};

// Addresses and networks separated by commas or blanks: "192.168.10.0/24, 10.1.2.3 ::1".
// A network's bits past its prefix may be set (192.168.10.7/24 means 192.168.10.0/24).
// False, with the entry named in `error`, when one is neither an address nor a network.
bool ParseNetworks(std::string_view text, std::vector<Network>& networks, std::string& error);

bool InNetworks(const std::vector<Network>& networks, const IpAddress& address);

// The last address of the X-Forwarded-For lines of a request's header block: the one
// the nearest proxy put there for the client it saw. IPv6 may stand in brackets, and
// a port after the address is dropped ("[2001:db8::5]:443", "10.1.2.3:5000"). Nothing
// when there is no such line or its last entry is no address.
std::optional<IpAddress> LastForwardedFor(const HttpRequest& request);

}  // namespace vel
