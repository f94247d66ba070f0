#include "start_settings.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "file_io.h"
#include "ip_networks.h"
#include "language_files.h"
#include "profile_keys.h"
#include "receiver_list.h"
#include "user_accounts.h"
#include "vel_proc.h"

namespace vel {

std::vector<std::string> ReadStartSettings(const std::string& profile, StartupReport& report,
                                           StartSettings& settings) {
  std::vector<std::string> refusals;
  if (const std::vector<std::string> mistakes = report.CheckProfile(profile); !mistakes.empty()) {
    std::string text;
    for (const std::string& mistake : mistakes) text += mistake + "\n";
    refusals.push_back(text +
                       "Velmar Web Server does not start while [Access] or [TCPIP] ListenAddress "
                       "may not say what was meant: it could let everyone send, or listen on "
                       "every address.");
  }
  settings.port = ReadProfileNumber(ProfileSetting::kHttpPort, profile);
  settings.headers = ReadProfileNumber(ProfileSetting::kHeaders, profile) == 1;
  std::string error;
  if (!ParseAccessSettings(ReadProfileKey(ProfileSetting::kAllowFrom, profile),
                           ReadProfileNumber(ProfileSetting::kSendLimit, profile),
                           ReadProfileKey(ProfileSetting::kPassword, profile),
                           ReadProfileKey(ProfileSetting::kTrustProxy, profile), settings.access,
                           error)) {
    refusals.push_back(error);
  } else if (!settings.access.passwordHash.empty() && !settings.headers) {
    // A client without status lines never learns that a password is wanted.
    refusals.push_back(
        "A password is set ([Access] Password in " + profile +
        "), and a password needs HTTP status lines: set Headers=1 in section [HTTP] of " + profile +
        ", or remove the password.");
  }
  settings.hosts = ReadProfileKey(ProfileSetting::kHosts, profile);
  settings.knownReceiversOnly =
      ReadProfileNumber(ProfileSetting::kKnownReceiversOnly, profile) == 1;
  settings.listenAddress = ReadProfileKey(ProfileSetting::kListenAddress, profile);
  if (!settings.listenAddress.empty() && !IpAddress::Parse(settings.listenAddress)) {
    refusals.push_back("[TCPIP] ListenAddress=" + settings.listenAddress + " in " + profile +
                       " is no IPv4 or IPv6 address: write one such as 127.0.0.1 or ::1, or "
                       "remove the key to listen on every address.");
  }
  settings.outbox.size =
      std::max<int64_t>(0, ReadProfileNumber(ProfileSetting::kOutboxSize, profile));
  settings.outbox.expireSeconds =
      std::max<int64_t>(0, ReadProfileNumber(ProfileSetting::kOutboxExpireSeconds, profile));
  settings.outbox.keepDays =
      std::clamp<int64_t>(ReadProfileNumber(ProfileSetting::kOutboxKeepDays, profile), 0, 3650);
  error.clear();
  if (!ReadMonitorSettings(profile, settings.monitor, error)) refusals.push_back(error);
  return refusals;
}

int CheckProgramDirectory(std::FILE* out) {
  SetProgramDir(ExecutableDir());
  StartupReport report(out);
  std::vector<std::string> refusals;
  report.CheckProgramDir(ProgramDir());
  report.CheckAccount(ProgramDir());

  // Without a profile, a start makes it from the shipped one: that is the one to judge.
  std::string profile = "VELWEB.INI";
  if (!ReadWholeFile(ProgramFile(profile)) && errno == ENOENT &&
      ReadWholeFile(ProgramFile("VELWEB.ONI"))) {
    std::fprintf(out,
                 "Note: there is no VELWEB.INI yet; a start makes it from VELWEB.ONI, "
                 "which is checked instead.\n");
    profile = "VELWEB.ONI";
  }
  if (const std::string problem = ProfileProblem(profile); !problem.empty()) {
    refusals.push_back(problem);
  } else {
    StartSettings settings;
    for (std::string& refusal : ReadStartSettings(profile, report, settings)) {
      refusals.push_back(std::move(refusal));
    }
    if (settings.port < 1 || settings.port > 65535) {
      refusals.push_back("The HTTP port (" + std::to_string(settings.port) +
                         ") can not be used: a port is a whole number from 1 to 65535; set "
                         "HTTPPort in section [TCPIP] of " +
                         profile + ".");
    }
    if (const std::string problem = LanguageProblem(profile); !problem.empty()) {
      refusals.push_back(problem);
    } else if (ReadProfileKey(ProfileSetting::kLanguage, profile).empty()) {
      report.Warn("no language is chosen ([General] Language in " + profile +
                  "): a start asks for one on a terminal or in a window, and ends without one.");
    }
  }
  // The users file, as a start reads it; accounts need status lines.
  UserAccounts users;
  if (std::string error; !users.Load(ProgramFile(kUsersFile), error)) {
    refusals.push_back(error);
  } else if (users.Active() && ReadProfileNumber(ProfileSetting::kHeaders, profile) != 1) {
    refusals.push_back(std::string("There is a users file (") + kUsersFile +
                       "), and accounts need HTTP status lines: set Headers=1 in section [HTTP] "
                       "of " +
                       profile + ".");
  }
  report.CheckReceiverFile(ReceiverList::kFileName);
  report.CheckPages();
  report.CheckLibraryFile();

  for (const std::string& refusal : refusals) {
    std::fprintf(out, "Error: %s\n", ProcessTerminal().ToTerminal(refusal).c_str());
  }
  const size_t warnings = report.Warnings();
  if (refusals.empty()) {
    std::fprintf(out, "velweb --check: %s is ready to start (%zu warning%s)\n",
                 ProgramDir().c_str(), warnings, warnings == 1 ? "" : "s");
    return 0;
  }
  std::fprintf(out,
               "velweb --check: Velmar Web Server would not start in %s (%zu error%s, %zu "
               "warning%s)\n",
               ProgramDir().c_str(), refusals.size(), refusals.size() == 1 ? "" : "s", warnings,
               warnings == 1 ? "" : "s");
  return 1;
}

}  // namespace vel
