// The settings a start reads from the profile, and everything that keeps the server from
// starting with them, in one place, so that a start (WebServerCore::Form_Load) and the
// check an admin runs after an edit (velweb --check) judge a program directory alike.
//
// A refusal is a setting that cannot be used, or could be read other than it was meant
// in a way that opens the server (a mistake about [Access] or ListenAddress, a password
// without status lines): the server does not start with it. Everything else that looks
// wrong is a warning, said through the StartupReport and the start goes on.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "access_policy.h"
#include "monitor.h"
#include "outbox.h"
#include "startup_report.h"

namespace vel {

struct StartSettings {
  int64_t port = 80;
  bool headers = false;
  AccessSettings access;
  std::string listenAddress;
  std::string hosts;  // [HTTP] Hosts (see host_names.h)
  bool knownReceiversOnly = false;
  MonitorSettings monitor;
  OutboxSettings outbox;
};

// Reads the profile `profile` of the program directory as a start does: the warnings go
// to `report`, the refusals come back, each a text of its own (none: the server may
// start with `settings`).
std::vector<std::string> ReadStartSettings(const std::string& profile, StartupReport& report,
                                           StartSettings& settings);

// velweb --check: reads the program directory's profile (the shipped one when there is
// none yet, as a start would make it), language, receiver file, pages and library as a
// start would, without listening, joining the shared region or writing anything.
// Prints every warning and refusal on `out`, then a last line with the verdict; 0 when
// the server would start, 1 when it would not.
int CheckProgramDirectory(std::FILE* out);

}  // namespace vel
