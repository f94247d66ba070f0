// Why the listening port cannot be opened, in words a person can act on. The listener
// (a QTcpServer) keeps no reason once it has failed, so the reason is found again by
// trying the same: a socket bound to the port on every address, as the listener binds.
#pragma once

#include <cstdint>
#include <string>

namespace vel {

// One line for the message that follows "The HTTP port (N) can not be used.": the
// system's reason and the remedy (a port in use: how to see which program holds it; a
// port below 1024: root or CAP_NET_BIND_SERVICE; a port outside 1 to 65535: the range).
std::string PortFailureReason(int64_t port);

// The line for a bind that failed with `error` (an errno value) on `port`.
std::string PortErrorText(int64_t port, int error);

}  // namespace vel
