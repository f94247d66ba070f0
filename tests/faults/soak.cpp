// The soak: one velweb serves many requests (pages with 200 receivers, a GIF, posted
// messages drained by velctl, missing files, requests broken off) from a few clients at
// once. Resident memory and open descriptors are sampled as it goes; at the end the
// server is stopped and must exit cleanly, with nothing from the leak checker.
//
//   fault_soak [REQUESTS] [MAX_GROWTH_KB]
//
// REQUESTS defaults to 100000. MAX_GROWTH_KB (default 2048; 0 does not check) bounds how
// much resident memory may grow after the first tenth; sanitizer builds keep freed memory
// in quarantine, so their runs check descriptors and leaks only. Prints one line per
// tenth and a summary; exit status 0 when everything held.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fault_support.h"

namespace {

using namespace veltest;

long ResidentKb(pid_t pid) {
  const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

long OpenDescriptors(pid_t pid) {
  std::error_code error;
  long count = 0;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
       !error && it != end; it.increment(error)) {
    ++count;
  }
  return error ? -1 : count;
}

}  // namespace

int main(int argc, char** argv) {
  const long total = argc > 1 ? std::atol(argv[1]) : 100000;
  const long maxGrowthKb = argc > 2 ? std::atol(argv[2]) : 2048;
  constexpr int kClients = 4;
  if (total < 100) {
    std::fprintf(stderr, "usage: fault_soak [REQUESTS>=100] [MAX_GROWTH_KB]\n");
    return 2;
  }

  Velweb server;
  std::vector<std::string> names;
  for (int i = 0; i < 200; ++i) names.push_back("Receiver" + std::to_string(i));
  WriteFile(server.dir() / "vel_rcv.dat", ReceiverFileBytes(names));
  server.Put("INDEX.HTM", "<p>[VERSION]</p>\r\n<li>[RECEIVERS]</li>\r\nend\r\n");
  server.Put("SEND.HTM", "<p>sent to</p>\r\n<b>[SUBMITTEDONES]</b>\r\nend");
  std::string gif = "GIF89a";
  while (gif.size() < 4096) gif += static_cast<char>(gif.size() * 7);
  server.Put("LOGO.GIF", gif);
  if (!server.Start()) {
    std::fprintf(stderr, "velweb did not start:\n%s\n", server.Err().c_str());
    return 1;
  }
  Follower drain(server, "commands --follow --raw");

  const std::string index = server.Fetch("GET / HTTP/1.0\r\n\r\n");
  if (ListedNames(index) != SortedNoCase(names)) {
    std::fprintf(stderr, "the index page does not list the 200 receivers\n");
    return 1;
  }
  const std::string notFound = server.Fetch("GET /missing.htm HTTP/1.0\r\n\r\n");

  std::atomic<long> next{0}, failures{0}, handedOver{0}, notSent{0};
  std::mutex sampleLock;
  std::vector<long> rss, fds;
  const auto start = Clock::now();
  auto work = [&] {
    for (long i; (i = next++) < total;) {
      const int kind = static_cast<int>(i % 20);
      if (kind == 0) {
        const std::string body =
            "message=soak+" + std::to_string(i) + "&receivers=R" + std::to_string(i % 7);
        const std::string reply = server.Fetch("POST /send.htm HTTP/1.0\r\nContent-Length: " +
                                               std::to_string(body.size()) + "\r\n\r\n" + body);
        if (reply == "<p>sent to</p>\r\n<b>R" + std::to_string(i % 7) + "</b>\r\nend\r\n") {
          ++handedOver;
        } else if (reply == "<p>sent to</p>\r\n<b>[Not Sent]</b>\r\nend\r\n") {
          ++notSent;
        } else {
          ++failures;
        }
      } else if (kind == 1) {
        // Broken off halfway; the server frees the slot when the client goes.
        Client client(server.port());
        client.Send("GET /index.htm HT");
      } else {
        std::string request, expected;
        if (kind < 8) {
          request = "GET /logo.gif HTTP/1.0\r\n\r\n", expected = gif;
        } else if (kind < 10) {
          request = "GET /missing.htm HTTP/1.0\r\n\r\n", expected = notFound;
        } else {
          request = "GET / HTTP/1.0\r\n\r\n", expected = index;
        }
        if (server.Fetch(request) != expected) ++failures;
      }
      if ((i + 1) % (total / 10) == 0) {
        std::lock_guard<std::mutex> lock(sampleLock);
        rss.push_back(ResidentKb(server.pid()));
        fds.push_back(OpenDescriptors(server.pid()));
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("%8ld requests  %7.1f s  resident %6ld kB  descriptors %3ld\n", i + 1, seconds,
                    rss.back(), fds.back());
        std::fflush(stdout);
      }
    }
  };
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) clients.emplace_back(work);
  for (auto& t : clients) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  WaitFor([&] { return static_cast<long>(drain.Lines().size()) >= handedOver.load(); },
          milliseconds(20000));
  const long taken = static_cast<long>(drain.Lines().size());
  // Connections broken off or just closed may still be draining; once quiet, no more
  // descriptors are open than at the quietest sample.
  const long fewest = fds.empty() ? 0 : *std::min_element(fds.begin(), fds.end());
  long settled = OpenDescriptors(server.pid());
  WaitFor([&] { return (settled = OpenDescriptors(server.pid())) <= fewest; }, milliseconds(5000));
  const int status = server.Stop(SIGTERM);
  const std::string err = server.Err();
  const bool leaks = err.find("LeakSanitizer") != std::string::npos ||
                     err.find("AddressSanitizer") != std::string::npos ||
                     err.find("runtime error") != std::string::npos;

  const long growthKb = rss.size() > 1 ? rss.back() - rss[1] : 0;
  const long fdGrowth = settled - fewest;
  std::printf(
      "requests %ld in %.1f s (%.0f per second), failures %ld\n"
      "posted: handed over %ld, not sent %ld, taken by velctl %ld\n"
      "resident: %ld kB after the first tenth, %ld kB at the end (growth %ld kB)\n"
      "descriptors: %ld after the first tenth, %ld at the end, %ld once quiet\n"
      "exit status %d, sanitizer reports: %s\n",
      total, seconds, total / seconds, failures.load(), handedOver.load(), notSent.load(), taken,
      rss.size() > 1 ? rss[1] : -1, rss.empty() ? -1 : rss.back(), growthKb,
      fds.size() > 1 ? fds[1] : -1, fds.empty() ? -1 : fds.back(), settled, status,
      leaks ? "yes" : "none");
  if (leaks) std::printf("%s\n", err.c_str());

  bool ok = failures == 0 && taken == handedOver && status == 0 && !leaks && fdGrowth <= 0;
  if (maxGrowthKb > 0 && growthKb > maxGrowthKb) ok = false;
  std::printf("%s\n", ok ? "soak passed" : "soak FAILED");
  return ok ? 0 : 1;
}
