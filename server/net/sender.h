// Who sent a request, as the access rules, the send-limit ledger, the hand-over and the
// log all know it, and the one value they pass between them: today the client's address
// (the one a trusted proxy names, when one does); with accounts, a user beside it. The
// ledger and the fair order of messages key their records by it.
#pragma once

#include <cstddef>
#include <string>

#include "ip_address.h"

namespace vel {

struct Sender {
  IpAddress address;

  Sender() = default;
  // An address alone is a sender: a request without a user.
  Sender(const IpAddress& from) : address(from) {}  // NOLINT(google-explicit-constructor)

  // As the log names the sender.
  std::string ToText() const { return address.ToText(); }

  friend bool operator==(const Sender&, const Sender&) = default;
};

struct SenderHash {
  size_t operator()(const Sender& sender) const { return IpAddressHash{}(sender.address); }
};

}  // namespace vel
