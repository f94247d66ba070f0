#include "startup_report.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "event_log.h"
#include "file_io.h"
#include "profile_keys.h"
#include "receiver_file.h"
#include "vel_proc.h"
#include "velmar_library.h"

namespace vel {

StartupReport::StartupReport(std::FILE* err, const TerminalText& terminal)
    : err_(err), terminal_(terminal) {}

void StartupReport::Warn(const std::string& text) {
  std::fprintf(err_, "Warning: %s\n", terminal_.ToTerminal(text).c_str());
  std::fflush(err_);
  warnings_.push_back(text);
}

void StartupReport::Note(const std::string& text) {
  std::fprintf(err_, "Note: %s\n", terminal_.ToTerminal(text).c_str());
  std::fflush(err_);
}

void StartupReport::CheckProgramDir(const std::string& dir) {
  if (access(dir.c_str(), W_OK) == 0) return;
  Warn("the program directory " + dir +
       " is not writable for this account: no daily log file is written there, and profile "
       "changes (such as a language chosen now) are not kept.");
}

void StartupReport::CheckAccount(const std::string& dir) {
  struct stat info {};
  if (geteuid() != 0 || stat(dir.c_str(), &info) != 0) return;
  if (info.st_uid == 0 && info.st_gid == 0) return;
  const passwd* owner = info.st_uid != 0 ? getpwuid(info.st_uid) : nullptr;
  const group* group = getgrgid(info.st_gid);
  const std::string whose = owner   ? "the account " + std::string(owner->pw_name)
                            : group ? "the group " + std::string(group->gr_name)
                                    : "another account";
  // The service's account, where the package made one.
  const passwd* service = getpwnam("velweb");
  const std::string as = service ? "sudo -u velweb " + dir + "velweb" : "the account that owns it";
  Warn("velweb runs as root in " + dir + ", which belongs to " + whose +
       ": what it writes now (the day's log, the profile, its lock) becomes root's, and the "
       "server started as that account cannot write it afterwards. Stop it and start it as that "
       "account (" +
       as + ", or systemctl start velweb).");
}

std::vector<std::string> StartupReport::CheckProfile(const std::string& fileName) {
  std::vector<std::string> mistakes;
  const std::optional<std::string> content = ReadWholeFile(ProgramFile(fileName));
  if (!content) return mistakes;  // a missing profile means every default
  for (const std::string& warning : CheckProfileKeys(*content, fileName, &mistakes)) Warn(warning);
  return mistakes;
}

void StartupReport::CheckLibrary() {
  std::string why;
  if (VelmarLibrary::Instance().Load(why)) return;
  Warn("libVelmar.so cannot be loaded (" + why +
       "): posted messages cannot be passed on to the alarm server, and nothing is logged.");
}

void StartupReport::CheckReceiverFile(const std::string& fileName) {
  const std::optional<std::string> bytes = ReadWholeFile(ProgramFile(fileName));
  if (!bytes || bytes->size() <= 1) return;  // none yet, or empty: no receivers, by design
  const ReceiverFile file = ParseReceiverFile(*bytes);
  if (file.version != kReceiverFileVersion) {
    Warn(fileName + " has version " + std::to_string(file.version) +
         ", and only version 1 is read: the receiver list stays empty.");
    return;
  }
  if (file.count < 0) {
    Warn(fileName + " gives a negative number of receivers (" + std::to_string(file.count) +
         "): the receiver list stays empty.");
    return;
  }
  if (!file.complete) {
    Warn(fileName + " is damaged (it ends inside a receiver, or holds a value of an unknown " +
         "kind): only its first " + std::to_string(file.count) + " receivers are read.");
    return;
  }
  if (file.stated > kMaxReceivers) {
    Warn(fileName + " lists " + std::to_string(file.stated) + " receivers: only the first " +
         std::to_string(kMaxReceivers) + " are read.");
  }
}

void StartupReport::CheckPages() {
  const std::vector<std::string> pages = FindFiles(ProgramDir() + "*.HTM");
  if (!FileExists(ProgramFile("INDEX.HTM"))) {
    Warn("there is no INDEX.HTM in " + ProgramDir() +
         ": a browser that asks for the server's address gets the not-found page.");
  }
  for (const std::string& page : pages) {
    if (!ReadWholeFile(ProgramDir() + page)) {
      Warn("the page " + page + " cannot be read: " + std::strerror(errno) +
           "; it is answered with the not-found page.");
    }
  }
}

void StartupReport::CheckLibraryFile() {
  if (FileDescriptor library(OpenRegularFile(ProgramFile("libVelmar.so"))); library.valid()) return;
  Warn("libVelmar.so cannot be read in " + ProgramDir() + " (" + std::strerror(errno) +
       "): posted messages cannot be passed on to the alarm server, and nothing is logged.");
}

void StartupReport::WriteToLog() {
  for (const std::string& warning : warnings_) WriteLog("Warning: " + warning);
}

}  // namespace vel
