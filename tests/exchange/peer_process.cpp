#include "peer_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::string UniqueInstance(const std::string& prefix) {
  static std::atomic<int> counter{0};
  return prefix + "." + std::to_string(getpid()) + "." + std::to_string(++counter);
}

PeerProcess::PeerProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& environment) {
  int toChild[2], fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe");
  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const std::string& mine : environment)
      if (entry.substr(0, entry.find('=') + 1) == mine.substr(0, mine.find('=') + 1))
        replaced = true;
    if (!replaced) envStrings.push_back(entry);
  }
  for (const std::string& mine : environment) envStrings.push_back(mine);
  std::vector<char*> envp, argv;
  for (std::string& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string programCopy = program;
  std::vector<std::string> argsCopy = args;
  argv.push_back(programCopy.data());
  for (std::string& a : argsCopy) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    dup2(toChild[0], 0);
    dup2(fromChild[1], 1);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(toChild[0]);
  close(fromChild[1]);
  in_ = toChild[1];
  out_ = fromChild[0];
}

PeerProcess::~PeerProcess() {
  if (in_ >= 0) close(in_);
  if (status_ < 0 && pid_ > 0) {
    if (Wait(2000) < 0) {
      kill(pid_, SIGKILL);
      Wait(5000);
    }
  }
  if (out_ >= 0) close(out_);
}

void PeerProcess::Send(const std::string& line) {
  const std::string data = line + "\n";
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(in_, data.data() + done, data.size() - done);
    if (n <= 0) return;  // the peer is gone; the missing answer tells the test
    done += static_cast<std::size_t>(n);
  }
}

void PeerProcess::CloseInput() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

std::optional<std::string> PeerProcess::ReadLine(int timeoutMs) {
  const long long deadline = NowMs() + timeoutMs;
  for (;;) {
    const std::size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    const long long left = deadline - NowMs();
    if (left <= 0) return std::nullopt;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(out_, buffer, sizeof buffer);
    if (n <= 0) return std::nullopt;
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string PeerProcess::Ask(const std::string& line, int timeoutMs) {
  Send(line);
  return ReadLine(timeoutMs).value_or("<no answer>");
}

void PeerProcess::Kill(int signal) {
  if (status_ < 0) kill(pid_, signal);
}

int PeerProcess::Wait(int timeoutMs) {
  if (status_ >= 0) return status_;
  const long long deadline = NowMs() + timeoutMs;
  for (;;) {
    int raw = 0;
    const pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      return status_;
    }
    if (NowMs() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}
