// Test harness: a private program directory copied from the build's dist/, the real
// velweb started in it with --headless and an isolated exchange region. Every wait is
// bounded.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>

#include "files.h"
#include "net.h"
#include "processes.h"

namespace veltest {

// A velweb process in a program directory of its own.
class Velweb {
 public:
  // The program directory is made in `parent` (a file system of a test's own, say).
  explicit Velweb(const fs::path& parent = "/tmp")
      : home_(parent), dir_(fs::path(home_.path()).parent_path()) {
    static int counter = 0;
    instance_ = "svt" + std::to_string(getpid()) + "n" + std::to_string(++counter);
    for (const auto& entry : fs::directory_iterator(VELWEB_DIST_DIR)) {
      fs::copy(entry.path(), dir_ / entry.path().filename(), fs::copy_options::recursive);
    }
    port_ = FreePort();
    Put("vel_lang.001",
        "0=Testish\r\n10=About\r\n13=Version\r\n14=Made by\r\n124=Loading receivers\r\n"
        "803=Receiver file version\r\n804=is not supported\r\n");
    SetProfile(std::to_string(port_), "0");
  }

  ~Velweb() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // Writes a file of the program directory under `name`, replacing any file whose name
  // differs from it only in case (the shipped site has pages of the same names).
  void Put(const std::string& name, const std::string& bytes) {
    auto lower = [](std::string text) {
      for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return text;
    };
    for (const auto& entry : fs::directory_iterator(dir_)) {
      if (lower(entry.path().filename().string()) == lower(name)) fs::remove(entry.path());
    }
    WriteFile(dir_ / name, bytes);
  }

  // `more`: further lines, such as an [Access] section.
  void SetProfile(const std::string& port, const std::string& headers,
                  const std::string& more = "") {
    Put("VELWEB.INI", "[General]\r\nLanguage=001\r\n[TCPIP]\r\nHTTPPort=" + port +
                          "\r\n[HTTP]\r\nHeaders=" + headers + "\r\n" + more);
  }

  // Starts velweb; with `waitReady`, returns once stage 2 has run.
  // May be called again after Stop: the outputs begin anew, the log goes on.
  bool Start(const std::map<std::string, std::string>& env = {}, bool waitReady = true) {
    std::error_code ignored;
    fs::remove(dir_ / "out.txt", ignored);  // nothing of an earlier run is read as this one's
    fs::remove(dir_ / "err.txt", ignored);
    const size_t started = Count(Log(), "Velmar Web Server Started");
    pid_ = Spawn(env, "out.txt", "err.txt");
    if (!waitReady) return pid_ > 0;
    return WaitFor([&] { return Out().find("Initialized Ok...") != std::string::npos; }) &&
           WaitFor([&] { return Count(Log(), "Velmar Web Server Started") > started; });
  }

  // Runs a second velweb in the same directory to its end; its exit status.
  int RunAnother(std::string& err) {
    const pid_t pid = Spawn({}, "out2.txt", "err2.txt");
    const int status = Wait(pid, milliseconds(10000));
    err = ReadFile(dir_ / "err2.txt");
    return status;
  }

  // Sends `signal` and waits for the end; the exit status, or -1.
  int Stop(int signal) {
    if (pid_ <= 0) return -1;
    kill(pid_, signal);
    const int status = Wait(pid_, milliseconds(10000));
    pid_ = -1;
    return status;
  }

  // The exit status once the process has ended by itself.
  int WaitExit() {
    const int status = Wait(pid_, milliseconds(10000));
    pid_ = -1;
    return status;
  }

  bool Running() const { return pid_ > 0 && kill(pid_, 0) == 0; }
  pid_t pid() const { return pid_; }
  int port() const { return port_; }
  const fs::path& dir() const { return dir_; }
  const std::string& instance() const { return instance_; }

  std::string Out() const { return ReadFile(dir_ / "out.txt"); }
  std::string Err() const { return ReadFile(dir_ / "err.txt"); }

  static std::string Today() {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    char name[16];
    std::strftime(name, sizeof name, "%Y%m%d", &t);
    return name;
  }
  fs::path LogPath() const { return dir_ / (Today() + ".LOG"); }
  std::string Log() const { return ReadFile(LogPath()); }
  // Whether the log comes to hold `piece` within the bounded wait (lines are written
  // from a thread of their own, after the answer may have gone).
  bool LogShows(const std::string& piece) const {
    return WaitFor([&] { return Log().find(piece) != std::string::npos; });
  }

  // Runs velctl of this directory against this instance's region; its standard output.
  std::string Velctl(const std::string& arguments) const {
    return CommandOutput("VELMAR_INSTANCE=" + instance_ + " '" + (dir_ / "velctl").string() + "' " +
                         arguments + " 2>&1");
  }

  // velweb --check of this directory: what it prints; `status`: its exit status.
  std::string Check(int* status) const {
    return CommandOutput("'" + (dir_ / "velweb").string() + "' --check 2>&1", status);
  }

  // One request on a fresh connection; the whole answer.
  std::string Fetch(const std::string& request) const { return Fetch(From{}, request); }
  std::string Fetch(const From& from, const std::string& request) const {
    Client client(port_, from);
    if (!client.connected() || !client.Send(request)) return "(no connection)";
    return client.ReadToEnd();
  }

  // The "Password=..." line that `velctl passwd` prints for `password` (typed twice).
  std::string PasswordLine(const std::string& password) const {
    std::string output =
        CommandOutput("printf '%s\\n%s\\n' '" + password + "' '" + password + "' | '" +
                      (dir_ / "velctl").string() + "' passwd 2>/dev/null");
    while (!output.empty() && output.back() == '\n') output.pop_back();
    return output;
  }

  // The count of the line velweb prints when it stops ("... Served requests: N"), or -1.
  // Without a terminal nothing is printed per request: stop the server first.
  int Served() const {
    const std::string out = Out();
    const size_t at = out.rfind("Served requests: ");
    if (at == std::string::npos) return -1;
    return std::atoi(out.c_str() + at + 17);
  }

 private:
  pid_t Spawn(const std::map<std::string, std::string>& env, const char* out, const char* err) {
    const std::string program = (dir_ / "velweb").string();
    const std::string outPath = (dir_ / out).string();
    const std::string errPath = (dir_ / err).string();
    const pid_t pid = fork();
    if (pid == 0) {
      setpgid(0, 0);  // a terminal's Ctrl-C never reaches it
      const int in = open("/dev/null", O_RDONLY);
      const int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(in, 0);
      dup2(o, 1);
      dup2(e, 2);
      unsetenv("DISPLAY");
      unsetenv("WAYLAND_DISPLAY");
      setenv("VELMAR_INSTANCE", instance_.c_str(), 1);
      for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
      if (env.count("VELWEB_TEST_AS_NOBODY") && getuid() == 0) {
        // Permissions bind only an ordinary account.
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
      }
      execl(program.c_str(), program.c_str(), "--headless", static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid;
  }

  static size_t Count(const std::string& text, const std::string& piece) {
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
  }

  static int Wait(pid_t pid, milliseconds timeout) {
    int status = 0;
    const bool ended = WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout);
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::string instance_;
  TempDir home_;  // goes with the program directory once the process is gone
  fs::path dir_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace veltest
