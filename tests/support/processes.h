// A program of the tests' own run in the background: its standard output is gathered
// line by line on a thread, and it is stopped when it goes out of scope.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "files.h"

namespace veltest {

// What a shell command prints on its standard output, once it has ended; its exit
// status in `status` when asked.
inline std::string CommandOutput(const std::string& command, int* status = nullptr) {
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    const int ended = pclose(pipe);
    if (status) *status = WIFEXITED(ended) ? WEXITSTATUS(ended) : -1;
  }
  return output;
}

// Reads a terminal (or any descriptor) until `text` has appeared, 8 s at most, appending
// what it reads to `seen`; false if the text never came or the other end closed first.
inline bool ReadTerminalUntil(int fd, const std::string& text, std::string& seen) {
  const auto end = Clock::now() + milliseconds(8000);
  while (seen.find(text) == std::string::npos && Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    seen.append(buffer, static_cast<size_t>(n));
  }
  return seen.find(text) != std::string::npos;
}

// Runs `command` with its standard output on a pipe; a thread gathers whole lines.
// Stopped (SIGTERM, then SIGKILL) when it goes out of scope.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::vector<std::string>& argv, const std::string& instance) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      setenv("VELMAR_INSTANCE", instance.c_str(), 1);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    fd_ = out[0];
    reader_ = std::thread([this] {
      char buffer[4096];
      for (;;) {
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n <= 0) break;
        std::lock_guard<std::mutex> lock(m_);
        pending_.append(buffer, static_cast<size_t>(n));
        for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
          lines_.push_back(pending_.substr(0, end));
          pending_.erase(0, end + 1);
        }
      }
    });
  }
  ~BackgroundProcess() {
    Kill(SIGTERM);
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) close(fd_);
  }
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(m_);
    return lines_;
  }

  // Sends `signal` and reaps the process (SIGKILL after 5 s).
  void Kill(int signal) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    int status = 0;
    if (!WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, milliseconds(5000))) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::thread reader_;
  std::mutex m_;
  std::string pending_;
  std::vector<std::string> lines_;
};

}  // namespace veltest
