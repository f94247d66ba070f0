#include "ip_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace vel {

namespace {

constexpr std::array<uint8_t, 12> kV4Prefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

IpAddress FromV4(const in_addr& v4) {
  IpAddress address;
  std::copy(kV4Prefix.begin(), kV4Prefix.end(), address.bytes.begin());
  std::memcpy(address.bytes.data() + 12, &v4, 4);
  return address;
}

}  // namespace

std::optional<IpAddress> IpAddress::Parse(std::string_view text) {
  if (text.empty() || text.size() > INET6_ADDRSTRLEN) return std::nullopt;
  const std::string zeroTerminated(text);
  in_addr v4{};
  if (inet_pton(AF_INET, zeroTerminated.c_str(), &v4) == 1) return FromV4(v4);
  IpAddress address;
  if (inet_pton(AF_INET6, zeroTerminated.c_str(), address.bytes.data()) == 1) return address;
  return std::nullopt;
}

IpAddress IpAddress::FromSocket(const sockaddr_storage& peer) {
  if (peer.ss_family == AF_INET) {
    return FromV4(reinterpret_cast<const sockaddr_in&>(peer).sin_addr);
  }
  IpAddress address;
  if (peer.ss_family == AF_INET6) {
    std::memcpy(address.bytes.data(), &reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr, 16);
  }
  return address;
}

bool IpAddress::IsV4() const {
  return std::equal(kV4Prefix.begin(), kV4Prefix.end(), bytes.begin());
}

std::string IpAddress::ToText() const {
  char text[INET6_ADDRSTRLEN] = {};
  if (IsV4()) {
    inet_ntop(AF_INET, bytes.data() + 12, text, sizeof text);
  } else {
    inet_ntop(AF_INET6, bytes.data(), text, sizeof text);
  }
  return text;
}

size_t IpAddressHash::operator()(const IpAddress& address) const {
  // FNV-1a over the 16 bytes.
  uint64_t hash = 1469598103934665603ULL;
  for (uint8_t b : address.bytes) {
    hash ^= b;
    hash *= 1099511628211ULL;
  }
  return static_cast<size_t>(hash);
}

}  // namespace vel
