// velload: a load client for servers that may answer without a status line.
//
// Sends N requests over C concurrent clients, each request on a new connection, and
// reads every response to the end of the connection (a response without a status line
// ends only when the server closes). Reports requests per second, latency percentiles
// and failures; a failure is a connection that could not be made, was reset, or
// outlived the time limit. A response complete to the end of its connection but of
// another length than --expect-bytes is counted apart as "other" (a different page:
// for a POST, the "[Not Sent]" page); rps counts the expected responses only,
// answered_rps every complete one. The exit status is 0 only when every response was
// the expected one.
//
//   velload --port P [--host 127.0.0.1] [--requests N] [--clients C]
//           [--request "GET /INDEX.HTM HTTP/1.0\r\n\r\n"] [--expect-bytes B]
//           [--timeout-ms T] [--label NAME]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  long requests = 1000;
  int clients = 1;
  std::string request = "GET /INDEX.HTM HTTP/1.0\r\n\r\n";
  long expectBytes = -1;
  int timeoutMs = 10000;
  std::string label = "run";
};

// Turns the escapes \r \n \t \\ of a command-line argument into bytes.
std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      char c = s[++i];
      out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
    } else {
      out += s[i];
    }
  }
  return out;
}

[[noreturn]] void Usage(const char* why) {
  std::fprintf(stderr, "velload: %s\n", why);
  std::fprintf(stderr,
               "usage: velload --port P [--host H] [--requests N] [--clients C]\n"
               "               [--request TEXT] [--expect-bytes B] [--timeout-ms T] "
               "[--label NAME]\n");
  std::exit(2);
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(("missing value for " + a).c_str());
      return argv[++i];
    };
    if (a == "--host")
      o.host = value();
    else if (a == "--port")
      o.port = std::atoi(value().c_str());
    else if (a == "--requests")
      o.requests = std::atol(value().c_str());
    else if (a == "--clients")
      o.clients = std::atoi(value().c_str());
    else if (a == "--request")
      o.request = Unescape(value());
    else if (a == "--expect-bytes")
      o.expectBytes = std::atol(value().c_str());
    else if (a == "--timeout-ms")
      o.timeoutMs = std::atoi(value().c_str());
    else if (a == "--label")
      o.label = value();
    else
      Usage(("unknown argument " + a).c_str());
  }
  if (o.port <= 0 || o.port > 65535) Usage("--port is required");
  if (o.requests <= 0 || o.clients <= 0) Usage("--requests and --clients must be positive");
  return o;
}

// One request on a fresh connection. Returns the bytes received, or -1 on failure.
long OneRequest(const sockaddr_in& addr, const Options& o) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  long received = -1;
  auto deadline = Clock::now() + std::chrono::milliseconds(o.timeoutMs);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
    size_t sent = 0;
    while (sent < o.request.size()) {
      ssize_t n = ::send(fd, o.request.data() + sent, o.request.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    if (sent == o.request.size()) {
      char buf[65536];
      long total = 0;
      for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0) break;
        if (n == 0) {
          received = total;
          break;
        }
        total += n;
      }
    }
  }
  ::close(fd);
  return received;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = Parse(argc, argv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(o.port));
  if (::inet_pton(AF_INET, o.host.c_str(), &addr.sin_addr) != 1) Usage("bad --host");

  std::atomic<long> next{0};
  std::atomic<long> failures{0};
  std::atomic<long> others{0};
  std::atomic<long> bytes{0};
  std::vector<std::vector<double>> latencies(o.clients);

  auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < o.clients; ++c) {
    threads.emplace_back([&, c] {
      auto& mine = latencies[c];
      while (next.fetch_add(1) < o.requests) {
        auto t0 = Clock::now();
        long got = OneRequest(addr, o);
        auto us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        if (got < 0) {
          failures.fetch_add(1);
        } else if (o.expectBytes >= 0 && got != o.expectBytes) {
          others.fetch_add(1);
        } else {
          bytes.fetch_add(got);
          mine.push_back(us);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  std::vector<double> all;
  for (auto& v : latencies) all.insert(all.end(), v.begin(), v.end());
  std::sort(all.begin(), all.end());
  auto pct = [&](double p) {
    if (all.empty()) return 0.0;
    size_t i = static_cast<size_t>(p * static_cast<double>(all.size() - 1) + 0.5);
    return all[std::min(i, all.size() - 1)];
  };
  double rps = static_cast<double>(all.size()) / seconds;
  const double answered = static_cast<double>(all.size() + static_cast<size_t>(others.load()));
  std::printf(
      "%-24s clients=%d requests=%ld ok=%zu failed=%ld rps=%.0f p50_us=%.0f "
      "p99_us=%.0f max_us=%.0f bytes=%ld other=%ld answered_rps=%.0f\n",
      o.label.c_str(), o.clients, o.requests, all.size(), failures.load(), rps, pct(0.50),
      pct(0.99), all.empty() ? 0.0 : all.back(), bytes.load(), others.load(), answered / seconds);
  return failures.load() == 0 && others.load() == 0 ? 0 : 1;
}
