// velctl: the other side of the exchange, from a command line. It loads libVelmar.so
// like any program of the family, so it counts as one of its processes while it runs.
#include <fcntl.h>
#include <grp.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "command_text.h"
#include "file_io.h"
#include "outbox_history.h"
#include "outbox_journal.h"
#include "printer.h"
#include "receiver_file.h"
#include "region_link.h"
#include "region_ops.h"
#include "replace_file.h"
#include "terminal_text.h"
#include "vel_proc.h"
#include "velctl_cli.h"
#include "velctl_users.h"
#include "velmar.h"
#include "velweb_health.h"
#include "version.h"

namespace {

using velctl::g_stop;
using velctl::kFailed;
using velctl::kOk;
using velctl::kUsage;
using velctl::PrintLine;
using velctl::Terminal;
using velctl::TextArgument;
using velctl::UsageError;

const char kHelp[] =
    "usage: velctl COMMAND [ARGUMENTS]\n"
    "       velctl --help | --version\n"
    "\n"
    "Plays the other programs of the Velmar family against libVelmar.so.\n"
    "The region is the one of VELMAR_INSTANCE (unset: the machine's own).\n"
    "\n"
    "  commands [--follow] [--raw]   take the command entries out and print each one\n"
    "                                 decoded (kind, receivers, message); --raw prints\n"
    "                                 the bytes; --follow keeps taking until interrupted\n"
    "  commands --peek [--raw]       print the command entries that wait, taking none out\n"
    "  commands ... --every MS       take one entry, then wait MS milliseconds, as a slow\n"
    "                                 alarm server would\n"
    "  syslog [--rewind] [--follow]  print system-log entries not read yet (--rewind:\n"
    "  debug [--rewind] [--follow]   all kept entries)\n"
    "  treeview [--rewind] [--follow]\n"
    "  sysinfo [TEXT]                show the system information text, or set it\n"
    "  apps [MASK on|off]            show the running-application flags, or set/clear\n"
    "                                 the bits of MASK (decimal or 0x hex)\n"
    "  processes                     number of processes that have the library loaded\n"
    "                                 (velctl itself is one of them)\n"
    "  print PORT TEXT               print TEXT on parallel port PORT (0 is /dev/lp0)\n"
    "  status                        counts, read positions, command-buffer use, processes,\n"
    "                                 and from the velweb of velctl's directory (/health)\n"
    "                                 whether the alarm server takes the messages\n"
    "  receivers write FILE NAME...  write a receiver file (version 1) with these names\n"
    "  receivers show FILE           print a receiver file\n"
    "  passwd                        read a password twice (from a terminal without\n"
    "                                 echo, else two lines of standard input) and print\n"
    "                                 the Password= line for [Access] in VELWEB.INI\n"
    "  user add NAME [--receivers LIST] [--send-limit N] [--role ROLE]\n"
    "                                 add a user to VELWEB.USR of velctl's directory,\n"
    "                                 asking for the password as passwd does; LIST:\n"
    "                                 names and * patterns, separated by commas (absent:\n"
    "                                 all); N: messages a minute (absent: the [Access]\n"
    "                                 one); ROLE: sender (the default) or supervisor\n"
    "  user passwd NAME              give a user a new password\n"
    "  user remove NAME              remove a user\n"
    "  user list                     print the users, their roles, send limits and\n"
    "                                 receivers\n"
    "  history [--json] [--since TIME]\n"
    "                                 print the messages of the outbox of velctl's\n"
    "                                 directory (vel_outbox.dat), newest first: when\n"
    "                                 accepted, from whom, to whom, their state and the\n"
    "                                 message; --json as a JSON array (UTC times);\n"
    "                                 --since: accepted at or after TIME (YYYY-MM-DD,\n"
    "                                 YYYY-MM-DD HH:MM, YYYY-MM-DDTHH:MM:SS local time,\n"
    "                                 or hours ago: 24h)\n"
    "\n"
    "Texts and names are Windows-1252 inside the region and the files. They are typed\n"
    "and shown in the encoding of the locale (LC_ALL, LC_CTYPE, LANG): a character that\n"
    "Windows-1252 cannot hold is refused, naming it. \\xHH in a TEXT or NAME stands for\n"
    "the byte HH, \\\\ for a backslash. Bytes the terminal cannot show (control bytes,\n"
    "and in the C or POSIX locale everything outside ASCII) are shown as \\xHH; that\n"
    "locale takes only ASCII arguments, so write other bytes as \\xHH there or use a\n"
    "UTF-8 locale (LC_ALL=C.UTF-8). commands --raw shows every byte outside printable\n"
    "ASCII as \\xHH, whatever the locale.\n"
    "Exit status: 0 done, 1 refused or failed (also when the shared region cannot be\n"
    "reached: run velctl as an account in group velmar), 2 usage error.\n";

void Pause() {
  const timespec interval{0, 100 * 1000 * 1000};
  nanosleep(&interval, nullptr);
}

struct Options {
  bool follow = false;
  bool rewind = false;
  bool raw = false;
  bool peek = false;
  std::vector<std::string> rest;
};

// Takes the flags in `allowed` out of args, each spelt out in full; anything else
// starting with "--" is an error.
bool ParseOptions(const std::vector<std::string>& args, const std::vector<std::string>& allowed,
                  Options& options, std::string& error) {
  for (const std::string& a : args) {
    if (a.rfind("--", 0) == 0 && a.size() > 2) {
      if (std::find(allowed.begin(), allowed.end(), a) == allowed.end()) {
        error = "unknown option " + a;
        return false;
      }
      if (a == "--follow") options.follow = true;
      if (a == "--rewind") options.rewind = true;
      if (a == "--raw") options.raw = true;
      if (a == "--peek") options.peek = true;
    } else {
      options.rest.push_back(a);
    }
  }
  return true;
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value) {
  if (text.empty() || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtoull(text.c_str(), &end, 0);
  return errno == 0 && end != nullptr && *end == '\0' && value <= max;
}

// Whether loading the library joined the region (velctl itself then counts among its
// processes). When it did not, says why: a command that needs the region fails then,
// rather than showing nothing as if nothing were there.
bool RegionReached() {
  if (GetProcesses() > 0) return true;
  std::string why = "the region's lock stayed taken by another program";
  for (const char* base : {velmar::kLockName, velmar::kRegionName}) {
    char name[256];
    if (!velmar::ObjectName(base, name, sizeof name)) {
      why = "VELMAR_INSTANCE is too long";
      break;
    }
    const int fd = shm_open(name, O_RDWR | O_CLOEXEC, 0);
    if (fd >= 0) {
      close(fd);
      continue;
    }
    const int error = errno;
    if (error == EACCES) {
      why = std::string("permission denied on ") + name + ": " +
            (getgrnam(velmar::kRegionGroup) != nullptr
                 ? std::string("this account is not in group ") + velmar::kRegionGroup
                 : std::string("it belongs to another account"));
    } else if (error == ENOENT) {
      why = std::string("there is no shared region ") + name;
    } else {
      why = std::string(name) + ": " + std::strerror(error);
    }
    break;
  }
  std::fprintf(stderr, "velctl: cannot reach the exchange: %s\n", why.c_str());
  return false;
}

int Commands(std::vector<std::string> args) {
  // --every MS: one entry taken at a time, then a pause, as a slow alarm server takes them.
  long everyMs = 0;
  if (const auto at = std::find(args.begin(), args.end(), "--every"); at != args.end()) {
    char* end = nullptr;
    everyMs = at + 1 == args.end() ? 0 : std::strtol((at + 1)->c_str(), &end, 10);
    if (everyMs <= 0 || everyMs > 3600000 || *end != '\0')
      return UsageError("--every takes a number of milliseconds (1 to 3600000)");
    args.erase(at, at + 2);
  }
  Options o;
  std::string error;
  if (!ParseOptions(args, {"--follow", "--raw", "--peek"}, o, error)) return UsageError(error);
  if (!o.rest.empty()) return UsageError("commands takes no arguments");
  if (everyMs > 0 && o.peek) return UsageError("commands --peek takes nothing out");
  if (o.peek && o.follow)
    return UsageError("commands --peek takes nothing out, so it cannot follow");
  static char buffer[velmar::kCommandBufferSize];
  auto print = [&o](const std::string& entry) {
    return PrintLine(o.raw ? velctl::EscapeBytes(entry)
                           : velctl::FormatCommand(velctl::DecodeCommand(entry), Terminal()));
  };
  if (o.peek) {
    const int16_t length = PeekCommandEntries(buffer, sizeof buffer);
    if (length < 0) {
      std::fprintf(stderr, "velctl: the command buffer cannot be read (its lock stayed taken)\n");
      return kFailed;
    }
    const std::string pending(buffer, static_cast<size_t>(length));
    size_t start = 0;
    for (size_t end; (end = pending.find('\xFF', start)) != std::string::npos; start = end + 1) {
      if (!print(pending.substr(start, end - start))) return kFailed;
    }
    // A last command without its terminator (left by a holder that died) is one too.
    if (start < pending.size() && !print(pending.substr(start))) return kFailed;
    return kOk;
  }
  do {
    // A stored command is never empty, so the empty text means nothing is there.
    while (!g_stop && GetCommandEntry(buffer, sizeof buffer) > 0) {
      if (!print(std::string(buffer))) return kFailed;
      for (long slept = 0; slept < everyMs && !g_stop; slept += 10) {
        const timespec step{0, 10 * 1000 * 1000};
        nanosleep(&step, nullptr);
      }
    }
    if (o.follow && !g_stop) Pause();
  } while (o.follow && !g_stop);
  return kOk;
}

int Queue(const std::string& name, const std::vector<std::string>& args) {
  Options o;
  std::string error;
  if (!ParseOptions(args, {"--follow", "--rewind"}, o, error)) return UsageError(error);
  if (!o.rest.empty()) return UsageError(name + " takes no arguments");
  char buffer[256];
  bool rewind = o.rewind;
  do {
    while (!g_stop) {
      // The buffer is left untouched when nothing is unread; an empty entry zeroes it.
      buffer[0] = 'x';
      int32_t n1 = 0, n2 = 0, n3 = 0, n4 = 0;
      int16_t length;
      if (name == "syslog")
        length = GetSysLogEntry(rewind, buffer, sizeof buffer);
      else if (name == "debug")
        length = GetDebugEntry(rewind, buffer, sizeof buffer);
      else
        length = GetTreeViewEntry(rewind, buffer, sizeof buffer, &n1, &n2, &n3, &n4);
      rewind = false;
      if (length == 0 && buffer[0] != '\0') break;
      const std::string text = velctl::EscapeBytes(std::string(buffer, length), Terminal());
      const std::string line = name == "treeview"
                                   ? std::to_string(n1) + " " + std::to_string(n2) + " " +
                                         std::to_string(n3) + " " + std::to_string(n4) + " " + text
                                   : text;
      if (!PrintLine(line)) return kFailed;
    }
    if (o.follow && !g_stop) Pause();
  } while (o.follow && !g_stop);
  return kOk;
}

int SysInfo(const std::vector<std::string>& args) {
  if (args.size() > 1) return UsageError("sysinfo takes at most one TEXT");
  if (args.size() == 1) {
    std::string text;
    if (!TextArgument(args[0], text)) return kUsage;
    if (text.size() >= static_cast<std::size_t>(velmar::kSysInfoSize))
      std::fprintf(stderr, "velctl: a text of %d bytes or more empties the system information\n",
                   velmar::kSysInfoSize);
    return SetSysInfo(text.c_str()) ? kOk : kFailed;
  }
  char buffer[velmar::kSysInfoSize];
  const int16_t length = GetSysInfo(buffer, sizeof buffer);
  std::printf("%s\n", velctl::EscapeBytes(std::string(buffer, length), Terminal()).c_str());
  return kOk;
}

void PrintBits(uint32_t word) {
  std::printf("0x%08" PRIx32, word);
  if (word != 0) {
    std::printf(" (bits");
    for (int bit = 0; bit < 32; ++bit)
      if (word & (uint32_t{1} << bit)) std::printf(" %d", bit);
    std::printf(")");
  }
  std::printf("\n");
}

int Apps(const std::vector<std::string>& args) {
  if (args.empty()) {
    uint32_t word = 0;
    for (int bit = 0; bit < 32; ++bit)
      if (GetRunningApps(uint32_t{1} << bit)) word |= uint32_t{1} << bit;
    PrintBits(word);
    return kOk;
  }
  uint64_t mask = 0;
  if (args.size() != 2 || !ParseNumber(args[0], 0xFFFFFFFFu, mask) ||
      (args[1] != "on" && args[1] != "off"))
    return UsageError("apps takes nothing, or MASK (0 to 0xFFFFFFFF) and on or off");
  SetRunningApps(static_cast<uint32_t>(mask), args[1] == "on" ? 1 : 0);
  return kOk;
}

int Print(const std::vector<std::string>& args) {
  uint64_t port = 0;
  if (args.size() != 2) return UsageError("print takes PORT and TEXT");
  if (!ParseNumber(args[0], 998, port)) return UsageError("PORT must be 0 to 998");
  std::string text;
  if (!TextArgument(args[1], text)) return kUsage;
  if (SendPRN(text.c_str(), static_cast<uint32_t>(port)) != 1) {
    std::fprintf(stderr, "velctl: could not print on port %" PRIu64 " (%s/lp%" PRIu64 ")\n", port,
                 velmar::PrinterDirectory(), port);
    return kFailed;
  }
  return kOk;
}

int Status(const std::vector<std::string>& args) {
  if (!args.empty()) return UsageError("status takes no arguments");
  // The counter word is read atomically, which needs the 8-byte alignment of a mapping.
  alignas(8) static velmar::SharedRegion region;
  if (!velmar::PeekRegion(region)) {
    std::fprintf(stderr, "velctl: the shared region cannot be read\n");
    return kFailed;
  }
  const char* instance = std::getenv("VELMAR_INSTANCE");
  std::printf("instance: %s\n", instance && *instance ? instance : "(none)");
  std::string access;
  if (velmar::DescribeRegionAccess(access)) std::printf("access: %s\n", access.c_str());
  std::printf("processes: %d\n", velmar::LoadProcessCount(region));
  std::printf("syslog: %" PRId32 " entries of %d, read position %" PRId32 "\n", region.SysLogCount,
              velmar::kSysLogCapacity, region.SysLogRead);
  std::printf("treeview: %" PRId32 " entries of %d, read position %" PRId32 "\n",
              region.TreeViewCount, velmar::kTreeViewCapacity, region.TreeViewRead);
  std::printf("debug: %" PRId32 " entries of %d, read position %" PRId32 "\n", region.DebugCount,
              velmar::kDebugCapacity, region.DebugRead);
  const int used = velmar::PeekCommandLength(region);
  int pending = 0;
  for (int i = 0; i < used; ++i)
    if (region.CommandBuffer[i] == velmar::kCommandTerminator) ++pending;
  std::printf("commands: %d pending, %d of %d bytes used\n", pending, used,
              velmar::kCommandContentMax);
  // How long the buffer has not moved only the velweb that watches it knows.
  const velctl::VelwebHealth velweb = velctl::AskVelweb(vel::ExecutableDir());
  if (!velweb.answered) {
    std::printf("alarm server: unknown (velweb at %s: %s)\n", velweb.where.c_str(),
                velweb.why.c_str());
  } else if (!velweb.seen && velweb.taking) {
    std::printf(
        "alarm server: no alarm server seen (none has taken a message, and no other "
        "program is attached); %d waiting (velweb at %s)\n",
        velweb.waiting, velweb.where.c_str());
  } else if (velweb.taking) {
    std::printf("alarm server: taking messages; %d waiting, the buffer moved %" PRId64
                " s ago (velweb at %s)\n",
                velweb.waiting, velweb.secondsSinceMoved, velweb.where.c_str());
  } else {
    std::printf("alarm server: has taken no message for %" PRId64 " s; %d waiting (velweb at %s)\n",
                velweb.secondsSinceMoved, velweb.waiting, velweb.where.c_str());
  }
  if (velweb.answered && velweb.outbox) {
    std::printf("outbox: %d queued, %d passed to the alarm server and not taken yet",
                velweb.outboxQueued, velweb.outboxPassed);
    if (velweb.outboxQueued + velweb.outboxPassed > 0)
      std::printf("; the oldest waits %" PRId64 " s", velweb.outboxOldestSeconds);
    std::printf("%s\n", velweb.outboxFailing ? "; its disk refuses writes" : "");
  }
  const std::size_t infoLength = strnlen(region.SysInfo, sizeof region.SysInfo);
  std::printf("sysinfo: \"%s\"\n",
              velctl::EscapeBytes(std::string(region.SysInfo, infoLength), Terminal()).c_str());
  std::printf("running apps: ");
  PrintBits(velmar::LoadRunningApps(region));
  return kOk;
}

int Receivers(const std::vector<std::string>& args) {
  if (args.size() >= 3 && args[0] == "write") {
    // Names and the texts made of them are counted in 16 bits in the file.
    const std::size_t longest = vel::kMaxReceiverText - velctl::kSampleTextPrefix.size();
    std::vector<std::string> names;
    for (std::size_t i = 2; i < args.size(); ++i) {
      std::string name;
      if (!TextArgument(args[i], name)) return kUsage;
      if (name.size() > longest)
        return UsageError("a receiver name is at most " + std::to_string(longest) + " bytes long");
      names.push_back(name);
    }
    if (names.size() > static_cast<std::size_t>(vel::kMaxReceivers))
      return UsageError("a receiver file holds at most " + std::to_string(vel::kMaxReceivers) +
                        " receivers");
    // The file may be the alarm server's, which writes it: it keeps its owner and mode.
    const std::string bytes = vel::EncodeReceiverFile(velctl::SampleReceivers(names));
    std::string error;
    if (!velctl::ReplaceFile(args[1], bytes, velctl::NewFileMode{}, error)) {
      std::fprintf(stderr, "velctl: %s\n", error.c_str());
      return kFailed;
    }
    return kOk;
  }
  if (args.size() == 2 && args[0] == "show") {
    std::ifstream in(args[1], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "velctl: cannot read %s\n", args[1].c_str());
      return kFailed;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    vel::ReceiverFileContents file;
    std::string error;
    const bool ok = velctl::DecodeReceiverFile(bytes, file, error);
    std::printf("version %d, %d receivers\n", file.version, file.statedCount);
    for (const vel::ReceiverRecord& r : file.records) {
      std::printf("type %d name \"%s\"", r.TypeId, velctl::EscapeBytes(r.Name, Terminal()).c_str());
      for (const vel::TaggedValue& v : r.Values)
        std::printf(" | %s", velctl::DescribeValue(v, Terminal()).c_str());
      std::printf("\n");
    }
    if (!ok) {
      std::fprintf(stderr, "velctl: %s: %s\n", args[1].c_str(), error.c_str());
      return kFailed;
    }
    return kOk;
  }
  return UsageError("receivers write FILE NAME... or receivers show FILE");
}

int Passwd(const std::vector<std::string>& args) {
  if (!args.empty()) return UsageError("passwd takes no arguments");
  const std::string hash = velctl::AskNewPasswordHash();
  if (hash.empty()) return kFailed;
  std::printf("Password=%s\n", hash.c_str());
  std::fprintf(stderr,
               "Put this line in section [Access] of VELWEB.INI (a password needs Headers=1 in "
               "section [HTTP]) and restart velweb.\n");
  return std::fflush(stdout) == 0 ? kOk : kFailed;
}

// Reads the outbox's journal of velctl's directory, never writing to it: velweb may be
// appending to it (a record cut short there is where the history ends for now).
int History(const std::vector<std::string>& args) {
  bool json = false;
  std::optional<int64_t> since;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--json") {
      json = true;
    } else if (args[i] == "--since" && i + 1 < args.size()) {
      timespec now{};
      clock_gettime(CLOCK_REALTIME, &now);
      int64_t sinceMs = 0;
      if (!velctl::ParseSince(args[++i], int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000,
                              sinceMs))
        return UsageError(
            "--since takes YYYY-MM-DD, YYYY-MM-DD HH:MM, YYYY-MM-DDTHH:MM:SS "
            "(local time) or a number of hours like 24h, not \"" +
            args[i] + "\"");
      since = sinceMs;
    } else {
      return UsageError("history takes --json and --since TIME");
    }
  }
  const std::string path = vel::ResolveInDir(vel::ExecutableDir(), velctl::kOutboxJournalFile);
  std::optional<std::string> bytes = vel::ReadWholeFile(path);
  if (!bytes) {
    if (errno != ENOENT) {
      std::fprintf(stderr, "velctl: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
      return kFailed;
    }
    bytes.emplace();  // no outbox yet: no history
  }
  std::vector<velctl::HistoryMessage> messages =
      velctl::RebuildHistory(vel::ReplayJournal(*bytes).records);
  if (since) {
    std::erase_if(messages, [&](const velctl::HistoryMessage& m) { return m.acceptedMs < *since; });
  }
  if (json) return PrintLine(velctl::HistoryJson(messages)) ? kOk : kFailed;
  for (const velctl::HistoryMessage& message : messages) {
    if (!PrintLine(velctl::HistoryLine(message, Terminal()))) return kFailed;
  }
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return UsageError("no command given");
  const std::string command = args[0];
  args.erase(args.begin());
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kHelp, stdout);
    return kOk;
  }
  if (command == "--version") {
    std::printf("velctl %s\n", vel::kVersionText);
    return kOk;
  }
  vel::InitProcessTerminal();
  velctl::CatchStopSignals();
  const bool needsRegion = command == "commands" || command == "syslog" || command == "debug" ||
                           command == "treeview" || command == "sysinfo" || command == "apps" ||
                           command == "processes" || command == "status";
  if (needsRegion && !RegionReached()) return kFailed;
  if (command == "commands") return Commands(args);
  if (command == "syslog" || command == "debug" || command == "treeview")
    return Queue(command, args);
  if (command == "sysinfo") return SysInfo(args);
  if (command == "apps") return Apps(args);
  if (command == "processes") {
    if (!args.empty()) return UsageError("processes takes no arguments");
    std::printf("%d\n", GetProcesses());
    return kOk;
  }
  if (command == "print") return Print(args);
  if (command == "status") return Status(args);
  if (command == "receivers") return Receivers(args);
  if (command == "passwd") return Passwd(args);
  if (command == "user") return velctl::UserCommand(args);
  if (command == "history") return History(args);
  return UsageError("unknown command " + command);
}
