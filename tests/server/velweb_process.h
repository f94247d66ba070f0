// Test harness: a private program directory copied from the build's dist/, the real
// velweb started in it with --headless and an isolated exchange region, and plain TCP
// clients on loopback. Every wait is bounded.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace veltest {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// A file of `size` zero bytes that takes no room on disk, for answers too big to buffer.
inline void WriteSparseFile(const fs::path& path, std::uintmax_t size) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).close();
  fs::resize_file(path, size);
}

// A port nobody listens on right now.
inline int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// Polls `done` every 20 ms until it holds or `timeout` has passed.
template <typename Done>
bool WaitFor(Done done, milliseconds timeout = milliseconds(8000)) {
  const auto end = Clock::now() + timeout;
  while (Clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return done();
}

// The local address a client connects from: another loopback address (127.0.0.2, ...)
// so that the server sees clients apart, or "::1" for IPv6.
struct From {
  std::string address;
};

// One TCP client connection to 127.0.0.1 (to ::1 from an IPv6 address).
class Client {
 public:
  // `receiveBuffer`, when given, is set before connecting: a fixed, small window.
  explicit Client(int port, int receiveBuffer = 0) : Client(port, From{}, receiveBuffer) {}

  Client(int port, const From& from, int receiveBuffer = 0) {
    sockaddr_storage local{}, remote{};
    socklen_t length = sizeof(sockaddr_in);
    if (from.address.find(':') != std::string::npos) {
      auto& l = reinterpret_cast<sockaddr_in6&>(local);
      auto& r = reinterpret_cast<sockaddr_in6&>(remote);
      l.sin6_family = r.sin6_family = AF_INET6;
      inet_pton(AF_INET6, from.address.c_str(), &l.sin6_addr);
      r.sin6_addr = in6addr_loopback;
      r.sin6_port = htons(static_cast<uint16_t>(port));
      length = sizeof(sockaddr_in6);
    } else {
      auto& l = reinterpret_cast<sockaddr_in&>(local);
      auto& r = reinterpret_cast<sockaddr_in&>(remote);
      l.sin_family = r.sin_family = AF_INET;
      if (!from.address.empty()) inet_pton(AF_INET, from.address.c_str(), &l.sin_addr);
      r.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      r.sin_port = htons(static_cast<uint16_t>(port));
    }
    fd_ = socket(remote.ss_family, SOCK_STREAM, 0);
    if (receiveBuffer > 0) {
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    if (!from.address.empty() && bind(fd_, reinterpret_cast<sockaddr*>(&local), length) != 0) {
      return;
    }
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&remote), length) == 0;
  }
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return connected_; }

  bool Send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  // True when something (data or the end) can be read within `timeout`.
  bool Readable(milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(timeout.count())) > 0;
  }

  // Everything until the server closes, or what came until `timeout`; `closed` tells
  // whether the end was seen.
  std::string ReadToEnd(milliseconds timeout = milliseconds(8000), bool* closed = nullptr) {
    std::string data;
    const auto end = Clock::now() + timeout;
    bool sawEnd = false;
    while (Clock::now() < end) {
      const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
      if (!Readable(std::max(left, milliseconds(1)))) continue;
      char buffer[65536];
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        sawEnd = true;
        break;
      }
      data.append(buffer, static_cast<size_t>(n));
    }
    if (closed) *closed = sawEnd;
    return data;
  }

  // Reads what has come, then pauses, until the server closes or `timeout` has passed.
  std::string ReadSlowly(milliseconds pause, milliseconds timeout) {
    std::string data;
    const auto end = Clock::now() + timeout;
    char buffer[65536];
    while (Clock::now() < end) {
      const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN)) break;
      if (n > 0) data.append(buffer, static_cast<size_t>(n));
      std::this_thread::sleep_for(pause);
    }
    return data;
  }

  // Reads until the connection ends: 0 for an orderly end, else the error (ECONNRESET
  // for a reset); -1 when it has not ended within `timeout`.
  int ReadUntilError(milliseconds timeout = milliseconds(8000)) {
    const auto end = Clock::now() + timeout;
    char buffer[65536];
    while (Clock::now() < end) {
      if (!Readable(milliseconds(50))) continue;
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n == 0) return 0;
      if (n < 0) return errno;
    }
    return -1;
  }

  // Closes the sending side only: the server reads an end after the request.
  void ShutdownSending() { shutdown(fd_, SHUT_WR); }

  // Ends the connection with a reset instead of an orderly close.
  void Reset() {
    linger hard{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd_);
    fd_ = -1;
  }

  // Shrinks the receive buffer, so that a client that does not read holds the server up.
  void SmallReceiveBuffer() {
    int size = 4096;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// A velweb process in a program directory of its own.
class Velweb {
 public:
  // The program directory is made in `parent` (a file system of a test's own, say).
  explicit Velweb(const fs::path& parent = "/tmp") {
    static int counter = 0;
    instance_ = "svt" + std::to_string(getpid()) + "n" + std::to_string(++counter);
    std::string pattern = (parent / "velweb-test-XXXXXX").string();
    dir_ = mkdtemp(pattern.data());
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
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
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

  // Runs velctl of this directory against this instance's region; its standard output.
  std::string Velctl(const std::string& arguments) const {
    const std::string command = "VELMAR_INSTANCE=" + instance_ + " '" + (dir_ / "velctl").string() +
                                "' " + arguments + " 2>&1";
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
      char buffer[4096];
      size_t n;
      while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
      pclose(pipe);
    }
    return output;
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
    const std::string command = "printf '%s\\n%s\\n' '" + password + "' '" + password + "' | '" +
                                (dir_ / "velctl").string() + "' passwd 2>/dev/null";
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
      char buffer[512];
      size_t n;
      while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
      pclose(pipe);
    }
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
  fs::path dir_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace veltest
