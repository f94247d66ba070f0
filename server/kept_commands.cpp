#include "kept_commands.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "event_log.h"
#include "file_io.h"
#include "metrics.h"
#include "vel_proc.h"
#include "velmar_library.h"

namespace vel {

namespace {

constexpr char kTerminator = '\xFF';

std::string Count(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string KeptCommandsBytes(const std::vector<std::string>& commands) {
  std::string bytes;
  for (const std::string& command : commands) bytes += command + kTerminator;
  return bytes;
}

std::vector<std::string> KeptCommands(const std::string& bytes) {
  std::vector<std::string> commands;
  size_t start = 0;
  for (size_t end; (end = bytes.find(kTerminator, start)) != std::string::npos; start = end + 1) {
    if (end > start) commands.push_back(bytes.substr(start, end - start));
  }
  if (start < bytes.size()) commands.push_back(bytes.substr(start));  // a file cut short
  return commands;
}

void KeepWaitingCommands() {
  VelmarLibrary& library = VelmarLibrary::Instance();
  const std::optional<int32_t> waiting = library.GetCommandCount();
  if (!waiting || *waiting <= 0) return;
  const std::optional<int32_t> processes = library.GetProcesses();
  if (!processes || *processes > 1) {
    WriteLogFromExchange(
        "Velmar Web Server leaves " +
        Count(static_cast<size_t>(*waiting), "waiting message", "waiting messages") +
        " to the alarm server");
    return;
  }
  // Alone: with this process the region goes, and the messages with it.
  const std::string path = ProgramFile(kKeptCommandsFile);
  std::vector<std::string> commands = KeptCommands(ReadWholeFile(path).value_or(""));
  const size_t before = commands.size();
  for (;;) {
    const std::optional<std::string> command = library.GetCommandEntry();
    if (!command || command->empty()) break;
    commands.push_back(*command);
  }
  const size_t taken = commands.size() - before;
  if (ReplaceWholeFile(path, KeptCommandsBytes(commands), 0600, /*applyUmask=*/false)) {
    CountKeptCommands(taken);
    WriteLogFromExchange("Velmar Web Server kept " +
                         Count(taken, "waiting message", "waiting messages") +
                         " for its next start");
    return;
  }
  const std::string why = std::strerror(errno);
  const std::string lost = "Velmar Web Server could not keep " +
                           Count(taken, "waiting message", "waiting messages") + " in " +
                           kKeptCommandsFile + ": " + why;
  WriteLogFromExchange(lost);
  WarnFromExchange(lost);
}

void HandBackKeptCommands() {
  const std::string path = ProgramFile(kKeptCommandsFile);
  const std::optional<std::string> bytes = ReadWholeFile(path);
  if (!bytes) return;
  const std::vector<std::string> commands = KeptCommands(*bytes);
  size_t handed = 0;
  for (const std::string& command : commands) {
    const std::optional<int32_t> stored = VelmarLibrary::Instance().SetCommandEntry(command);
    if (!stored || *stored != 1) break;  // no room, or no region: the rest waits
    ++handed;
  }
  if (handed == commands.size()) {
    unlink(path.c_str());
  } else if (handed > 0) {
    const std::vector<std::string> rest(commands.begin() + static_cast<long>(handed),
                                        commands.end());
    ReplaceWholeFile(path, KeptCommandsBytes(rest), 0600, /*applyUmask=*/false);
  }
  CountHandedBackCommands(handed);
  if (commands.empty()) return;
  std::string line =
      "Velmar Web Server handed back " + Count(handed, "kept message", "kept messages");
  if (handed < commands.size()) {
    line += "; " + std::to_string(commands.size() - handed) + " wait in " + kKeptCommandsFile;
  }
  WriteLogFromExchange(line);
}

}  // namespace vel
