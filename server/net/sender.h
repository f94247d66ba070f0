// Who sent a request, as the access rules, the send-limit ledger, the hand-over and the
// log all know it, and the one value they pass between them: today the client's address
// (the one a trusted proxy names, when one does); with accounts, a user beside it. The
// ledger and the fair order of messages key their records by it.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>

#include "ip_address.h"

namespace vel {

struct Sender {
  IpAddress address;
  std::string user;  // with accounts: the user of the users file the request came from

  Sender() = default;
  // An address alone is a sender: a request without a user.
  Sender(const IpAddress& from) : address(from) {}  // NOLINT(google-explicit-constructor)
  Sender(const IpAddress& from, std::string name) : address(from), user(std::move(name)) {}

  // As the log names the sender: "10.1.2.3", or "10.1.2.3 (alice)".
  std::string ToText() const {
    return user.empty() ? address.ToText() : address.ToText() + " (" + user + ")";
  }

  friend bool operator==(const Sender&, const Sender&) = default;
};

struct SenderHash {
  size_t operator()(const Sender& sender) const {
    return IpAddressHash{}(sender.address) ^ (std::hash<std::string>{}(sender.user) * 31);
  }
};

}  // namespace vel
