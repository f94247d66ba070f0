// velctl: the other side of the exchange, from a command line. It loads libVelmar.so
// like any program of the family, so it counts as one of its processes while it runs.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
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
#include <string>
#include <vector>

#include "command_text.h"
#include "password_hash.h"
#include "printer.h"
#include "receiver_file.h"
#include "region_link.h"
#include "region_ops.h"
#include "terminal_text.h"
#include "vel_proc.h"
#include "velmar.h"
#include "velweb_health.h"
#include "version.h"

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

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

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }

// Interrupt, termination and a closed terminal end a --follow loop, so that velctl
// leaves the region on its way out; a closed pipe shows as a failed write instead.
void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// Prints one line; false when nobody reads the output any more.
bool PrintLine(const std::string& line) {
  std::printf("%s\n", line.c_str());
  return std::fflush(stdout) == 0;
}

void Pause() {
  const timespec interval{0, 100 * 1000 * 1000};
  nanosleep(&interval, nullptr);
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "velctl: %s\nTry 'velctl --help'.\n", message.c_str());
  return kUsage;
}

// The terminal that arguments come from and output goes to (see InitProcessTerminal).
const vel::TerminalText* Terminal() { return &vel::ProcessTerminal(); }

// A TEXT or NAME argument as the Windows-1252 bytes it stands for: converted from the
// terminal's encoding, then \xHH and \\ read back into their bytes. False, with the
// reason printed, when it holds a character Windows-1252 cannot.
bool TextArgument(const std::string& argument, std::string& bytes) {
  std::string converted;
  std::string error;
  if (!Terminal()->FromTerminal(argument, converted, error)) {
    std::fprintf(stderr, "velctl: \"%s\": %s\n", argument.c_str(), error.c_str());
    if (Terminal()->AsciiOnly())
      std::fprintf(stderr,
                   "velctl: write such bytes as \\xHH (Windows-1252), or use a UTF-8 "
                   "locale (for example LC_ALL=C.UTF-8)\n");
    return false;
  }
  bytes = velctl::UnescapeBytes(converted);
  return true;
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

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
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

// Writes a receiver file. A new one is written beside and renamed, so that a reader
// never sees half a file. An existing one keeps its owner, group and mode (it may be the
// alarm server's, which writes it): the new file is given them before the rename, and
// where this account cannot give them, the file is rewritten where it stands.
int WriteReceiverFile(const std::string& path, const std::string& bytes) {
  struct stat existing {};
  const bool exists = stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
  const std::string temporary = path + ".velctl-tmp";
  const auto fail = [&](const std::string& name) {
    std::fprintf(stderr, "velctl: cannot write %s: %s\n", name.c_str(), std::strerror(errno));
    unlink(temporary.c_str());
    return kFailed;
  };
  unlink(temporary.c_str());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      exists ? 0600 : 0666);
  bool inPlace = false;
  if (fd < 0) {
    if (!exists) return fail(temporary);
    inPlace = true;  // no file can be made beside it
  } else {
    struct stat made {};
    bool ok = WriteAll(fd, bytes) && fstat(fd, &made) == 0;
    if (ok && exists) {
      if ((made.st_uid != existing.st_uid || made.st_gid != existing.st_gid) &&
          fchown(fd, existing.st_uid, existing.st_gid) != 0)
        inPlace = true;
      else
        ok = fchmod(fd, existing.st_mode & 07777) == 0;
    }
    ok = ok && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (!ok) return fail(temporary);
    if (inPlace) {
      unlink(temporary.c_str());
    } else if (rename(temporary.c_str(), path.c_str()) != 0) {
      return fail(path);
    }
  }
  if (inPlace) {
    const int target = open(path.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    const bool ok = target >= 0 && WriteAll(target, bytes) && fsync(target) == 0;
    if (target >= 0 && close(target) != 0) return fail(path);
    if (!ok) return fail(path);
  }
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
    const std::string bytes = vel::EncodeReceiverFile(velctl::SampleReceivers(names));
    return WriteReceiverFile(args[1], bytes);
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

// One line from standard input, without its line end; on a terminal after `prompt`
// and without echo. False at the end of input or on an interrupt.
bool ReadSecret(const char* prompt, std::string& line) {
  const bool terminal = isatty(STDIN_FILENO) == 1;
  termios saved{};
  if (terminal) {
    // Echo goes off before the prompt shows: nothing typed ahead of it is shown either.
    if (tcgetattr(STDIN_FILENO, &saved) == 0) {
      termios quiet = saved;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      quiet.c_lflag |= ECHONL;  // the line end still shows, so the next prompt starts anew
      tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    std::fputs(prompt, stderr);
    std::fflush(stderr);
  }
  line.clear();
  bool ended = false;
  for (int c; !g_stop && (c = std::getchar()) != EOF;) {
    if (c == '\n') {
      ended = true;
      break;
    }
    line += static_cast<char>(c);
  }
  if (terminal) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return !g_stop && (ended || !line.empty());
}

int Passwd(const std::vector<std::string>& args) {
  if (!args.empty()) return UsageError("passwd takes no arguments");
  std::string first, second;
  if (!ReadSecret("Password: ", first) || !ReadSecret("Again: ", second)) {
    std::fprintf(stderr, "velctl: no password read\n");
    return kFailed;
  }
  if (first != second) {
    std::fprintf(stderr, "velctl: the two passwords differ\n");
    return kFailed;
  }
  if (first.empty()) {
    std::fprintf(stderr, "velctl: an empty password protects nothing\n");
    return kFailed;
  }
  const std::string hash = vel::HashPassword(first);
  if (hash.empty()) {
    std::fprintf(stderr, "velctl: this system cannot make a yescrypt hash\n");
    return kFailed;
  }
  std::printf("Password=%s\n", hash.c_str());
  std::fprintf(stderr,
               "Put this line in section [Access] of VELWEB.INI (a password needs Headers=1 in "
               "section [HTTP]) and restart velweb.\n");
  return std::fflush(stdout) == 0 ? kOk : kFailed;
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
  CatchStopSignals();
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
  return UsageError("unknown command " + command);
}
