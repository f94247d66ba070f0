#include "velweb_health.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "profile_keys.h"
#include "vel_proc.h"

namespace velctl {

namespace {

// The value after "\"name\": " in a flat JSON object.
bool Field(const std::string& body, const std::string& name, std::string& value) {
  const std::string key = "\"" + name + "\":";
  size_t at = body.find(key);
  if (at == std::string::npos) return false;
  at = body.find_first_not_of(' ', at + key.size());
  if (at == std::string::npos) return false;
  const size_t end = body.find_first_of(",}", at);
  value = body.substr(at, end == std::string::npos ? std::string::npos : end - at);
  while (!value.empty() && value.back() == ' ') value.pop_back();
  return !value.empty();
}

// Milliseconds on CLOCK_MONOTONIC.
int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Waits for `events` on `fd` until `deadline` (MonotonicMs); false on timeout.
bool Await(int fd, short events, int64_t deadline) {
  for (;;) {
    const int64_t left = deadline - MonotonicMs();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int ready = poll(&p, 1, static_cast<int>(left));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

}  // namespace

bool ParseHealth(const std::string& body, VelwebHealth& health) {
  std::string taking, waiting, seconds;
  if (!Field(body, "alarmServerTaking", taking) || !Field(body, "waiting", waiting) ||
      !Field(body, "secondsSinceMoved", seconds))
    return false;
  health.taking = taking == "true";
  std::string seen;
  health.seen = !Field(body, "alarmServerSeen", seen) || seen == "true";
  health.waiting = std::atoi(waiting.c_str());
  health.secondsSinceMoved = std::atoll(seconds.c_str());
  std::string queued, passed, oldest, failing;
  health.outbox = Field(body, "queued", queued) && Field(body, "passed", passed) &&
                  Field(body, "oldestSeconds", oldest) && Field(body, "failing", failing);
  if (health.outbox) {
    health.outboxQueued = std::atoi(queued.c_str());
    health.outboxPassed = std::atoi(passed.c_str());
    health.outboxOldestSeconds = std::atoll(oldest.c_str());
    health.outboxFailing = failing == "true";
  }
  return true;
}

VelwebHealth AskVelweb(const std::string& programDir, int timeoutMs) {
  VelwebHealth health;
  vel::SetProgramDir(programDir);
  const int64_t port = vel::ReadProfileNumber(vel::ProfileSetting::kHttpPort, "VELWEB.INI");
  std::string address = vel::ReadProfileKey(vel::ProfileSetting::kListenAddress, "VELWEB.INI");
  if (address.empty() || address == "0.0.0.0") address = "127.0.0.1";
  if (address == "::") address = "::1";
  const bool v6 = address.find(':') != std::string::npos;
  health.where = (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
  if (port < 1 || port > 65535) {
    health.why = "VELWEB.INI gives no usable port";
    return health;
  }
  sockaddr_storage to{};
  socklen_t length = 0;
  if (v6) {
    auto& a = reinterpret_cast<sockaddr_in6&>(to);
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof a;
    if (inet_pton(AF_INET6, address.c_str(), &a.sin6_addr) != 1) length = 0;
  } else {
    auto& a = reinterpret_cast<sockaddr_in&>(to);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof a;
    if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) length = 0;
  }
  if (length == 0) {
    health.why = "VELWEB.INI gives no usable ListenAddress";
    return health;
  }
  const int64_t deadline = MonotonicMs() + timeoutMs;
  const int fd = socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    health.why = std::strerror(errno);
    return health;
  }
  std::string answer;
  int error = 0;
  socklen_t errorLength = sizeof error;
  const std::string request = "GET /health HTTP/1.0\r\n\r\n";
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), length) != 0 && errno != EINPROGRESS) {
    health.why = std::strerror(errno);
  } else if (!Await(fd, POLLOUT, deadline) ||
             getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &errorLength) != 0 || error != 0) {
    health.why = error ? std::strerror(error) : "no answer in time";
  } else if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
             static_cast<ssize_t>(request.size())) {
    health.why = std::strerror(errno);
  } else {
    char buffer[4096];
    while (answer.size() < 65536 && Await(fd, POLLIN, deadline)) {
      const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      answer.append(buffer, static_cast<size_t>(got));
    }
  }
  close(fd);
  if (!health.why.empty()) return health;
  const size_t bodyAt = answer.find("\r\n\r\n");
  if (answer.compare(0, 9, "HTTP/1.0 ") != 0 || bodyAt == std::string::npos) {
    health.why = "no status answer (is [Status] From empty, or this address outside it?)";
    return health;
  }
  if (answer.compare(9, 3, "403") == 0) {
    health.why = "this address is outside [Status] From";
    return health;
  }
  if (!ParseHealth(answer.substr(bodyAt + 4), health)) {
    health.why = "an answer without the buffer's state";
    return health;
  }
  health.answered = true;
  return health;
}

}  // namespace velctl
