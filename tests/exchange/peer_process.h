// A helper process of a multi-process test: started with its own environment, talked to
// line by line over pipes, every wait bounded in time.
#ifndef VELMAR_PEER_PROCESS_H
#define VELMAR_PEER_PROCESS_H

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

class PeerProcess {
 public:
  // Runs program with args; `environment` entries ("NAME=value") are added to ours.
  PeerProcess(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::string>& environment);
  ~PeerProcess();  // kills and reaps a process still running
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  void Send(const std::string& line);
  void CloseInput();
  // The next line of output without its line feed, or nothing after timeoutMs.
  std::optional<std::string> ReadLine(int timeoutMs = 10000);
  std::string Ask(const std::string& line, int timeoutMs = 10000);
  void Kill(int signal);
  // Exit status (or 128 + signal), or -1 when still running after timeoutMs.
  int Wait(int timeoutMs = 10000);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string pending_;
  int status_ = -1;
};

// "<prefix>.<pid>.<n>": a VELMAR_INSTANCE word no other test uses.
std::string UniqueInstance(const std::string& prefix);

#endif  // VELMAR_PEER_PROCESS_H
