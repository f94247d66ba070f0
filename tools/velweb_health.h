// What velweb knows of the command buffer: velctl asks the velweb of its own program
// directory for /health (on the port and address of that directory's VELWEB.INI, from
// this machine), since only a process that watches the buffer over time can tell how
// long it has not moved.
#pragma once

#include <cstdint>
#include <string>

namespace velctl {

struct VelwebHealth {
  bool answered = false;
  std::string where;  // "127.0.0.1:8080"
  std::string why;    // when not answered: what went wrong
  bool taking = true;
  bool seen = true;  // a velweb that does not say counts as having seen one
  int waiting = 0;
  int64_t secondsSinceMoved = 0;
  // With an outbox: its messages not taken yet, and how long the oldest has waited.
  bool outbox = false;
  int outboxQueued = 0;
  int outboxPassed = 0;
  int64_t outboxOldestSeconds = 0;
  bool outboxFailing = false;
};

// Asks within `timeoutMs`; the program directory ends with "/".
VelwebHealth AskVelweb(const std::string& programDir, int timeoutMs = 2000);

// The fields of a /health answer's JSON body (false when one is missing).
bool ParseHealth(const std::string& body, VelwebHealth& health);

}  // namespace velctl
