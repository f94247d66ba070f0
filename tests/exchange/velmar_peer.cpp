// A program of the family for the multi-process tests: it links libVelmar.so, so it
// joins the region when it starts and leaves when it ends, and it runs the exports on
// request. One request per line on standard input, one answer line on standard output.
// Texts travel as hex ("-" for the empty text) so that any byte gets through.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "peer_hex.h"
#include "region_link.h"
#include "velmar.h"

namespace {

void Answer(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// "line ID N " and 150 letters: the lines of logmany and logfill.
std::string NumberedLine(const std::string& id, int n) {
  return "line " + id + " " + std::to_string(n) + " " +
         std::string(150, static_cast<char>('a' + n % 26));
}

// Stores `count` commands "P<id>-<n>", waiting while the buffer is full.
bool Produce(const std::string& id, int count) {
  for (int n = 0; n < count; ++n) {
    const std::string command = "P" + id + "-" + std::to_string(n);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (SetCommandEntry(command.c_str()) != 1) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  return true;
}

// Takes commands and prints each until standard input closes and nothing is left.
void Consume() {
  std::atomic<bool> closed{false};
  std::thread watcher([&closed] {
    std::string ignored;
    while (std::getline(std::cin, ignored)) {
    }
    closed = true;
  });
  char buffer[4096];
  for (;;) {
    const bool last = closed;
    if (GetCommandEntry(buffer, sizeof buffer) > 0) {
      Answer(std::string("C ") + buffer);
      continue;
    }
    if (last) break;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  watcher.join();
  Answer("end");
}

// Threads of one process storing and taking commands at once: every command must come
// out exactly once, and each taker sees each producer's commands in their order.
std::string Threads(int producers, int perProducer) {
  std::atomic<int> taken{0};
  const int total = producers * perProducer;
  std::mutex m;
  std::set<std::string> seen;
  std::string fault;
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p)
    threads.emplace_back([p, perProducer] { Produce("t" + std::to_string(p), perProducer); });
  for (int c = 0; c < producers; ++c) {
    threads.emplace_back([&] {
      std::map<std::string, int> last;
      char buffer[64];
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (taken < total && std::chrono::steady_clock::now() < deadline) {
        if (GetCommandEntry(buffer, sizeof buffer) == 0) continue;
        ++taken;
        const std::string entry = buffer;
        const std::size_t dash = entry.find('-');
        const std::string producer = entry.substr(0, dash);
        const int n = std::atoi(entry.c_str() + dash + 1);
        std::lock_guard<std::mutex> lock(m);
        if (!seen.insert(entry).second) fault = "duplicate " + entry;
        auto it = last.find(producer);
        if (it != last.end() && it->second >= n) fault = "out of order " + entry;
        last[producer] = n;
      }
    });
  }
  for (auto& t : threads) t.join();
  if (!fault.empty()) return fault;
  if (static_cast<int>(seen.size()) != total)
    return "lost " + std::to_string(total - static_cast<int>(seen.size()));
  return "ok";
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string op;
    in >> op;
    if (op == "exit") return 0;
    if (op == "echo") {
      std::string word;
      in >> word;
      Answer(word);
    } else if (op == "processes") {
      Answer(std::to_string(GetProcesses()));
    } else if (op == "setcmd") {
      std::string hex;
      in >> hex;
      Answer(std::to_string(SetCommandEntry(Unhex(hex).c_str())));
    } else if (op == "getcmd") {
      unsigned size = 4096;
      in >> size;
      std::vector<char> buffer(size + 1, 'x');
      const int16_t n = GetCommandEntry(buffer.data(), size);
      Answer(std::to_string(n) + " " + Hex(std::string(buffer.data(), n)));
    } else if (op == "setlog") {
      std::string file, hex;
      in >> file >> hex;
      Answer(std::to_string(
          SetSysLogEntry(file == "none" ? nullptr : file.c_str(), Unhex(hex).c_str())));
    } else if (op == "last") {
      Answer(std::to_string(GetLastAttached()));
    } else if (op == "count") {
      Answer(std::to_string(GetCommandCount()));
    } else if (op == "logerror") {
      Answer(std::to_string(GetSysLogFileError()));
    } else if (op == "logmany") {
      std::string file, id;
      int count = 0;
      in >> file >> id >> count;
      for (int n = 0; n < count; ++n) SetSysLogEntry(file.c_str(), NumberedLine(id, n).c_str());
      Answer("done");
    } else if (op == "logfill") {
      // Logs numbered lines until the file takes no more; answers how many it took and why
      // it stopped.
      std::string file, id;
      in >> file >> id;
      int n = 0;
      while (n < 100000 && SetSysLogEntry(file.c_str(), NumberedLine(id, n).c_str()) == 1 &&
             GetSysLogFileError() == 0)
        ++n;
      Answer(std::to_string(n) + " " + std::to_string(GetSysLogFileError()));
    } else if (op == "getlog" || op == "getdebug" || op == "gettree") {
      int rewind = 0;
      unsigned size = 256;
      in >> rewind >> size;
      std::vector<char> buffer(size + 1, 'x');
      int32_t n[4] = {0, 0, 0, 0};
      int16_t length;
      if (op == "getlog")
        length = GetSysLogEntry(rewind, buffer.data(), size);
      else if (op == "getdebug")
        length = GetDebugEntry(rewind, buffer.data(), size);
      else
        length = GetTreeViewEntry(rewind, buffer.data(), size, &n[0], &n[1], &n[2], &n[3]);
      // "none" when nothing was handed out (the buffer kept its filler).
      const bool none = length == 0 && buffer[0] == 'x';
      std::string answer =
          std::to_string(length) + " " + (none ? "none" : Hex(std::string(buffer.data(), length)));
      if (op == "gettree")
        for (int32_t v : n) answer += " " + std::to_string(v);
      Answer(answer);
    } else if (op == "setdebug") {
      std::string hex;
      in >> hex;
      Answer(std::to_string(SetDebugEntry(Unhex(hex).c_str())));
    } else if (op == "settree") {
      int32_t a, b, c, d;
      std::string hex;
      in >> a >> b >> hex >> c >> d;
      Answer(std::to_string(SetTreeViewEntry(a, b, Unhex(hex).c_str(), c, d)));
    } else if (op == "setinfo") {
      std::string hex;
      in >> hex;
      Answer(std::to_string(SetSysInfo(Unhex(hex).c_str())));
    } else if (op == "getinfo") {
      unsigned size = 256;
      in >> size;
      std::vector<char> buffer(size + 1, 'x');
      const int16_t n = GetSysInfo(buffer.data(), size);
      Answer(std::to_string(n) + " " + Hex(std::string(buffer.data(), n)) + " " +
             (buffer[0] == 'x' ? "untouched" : "written"));
    } else if (op == "apps") {
      uint32_t mask = 0;
      in >> mask;
      Answer(std::to_string(GetRunningApps(mask)));
    } else if (op == "setapps") {
      uint32_t mask = 0;
      int32_t running = 0;
      in >> mask >> running;
      SetRunningApps(mask, running);
      Answer("ok");
    } else if (op == "toggle") {
      // Flips one bit many times and leaves it set; another process does the same with
      // another bit: neither may lose the other's change.
      uint32_t bit = 0;
      int count = 0;
      in >> bit >> count;
      for (int i = 0; i < count; ++i) SetRunningApps(uint32_t{1} << bit, i % 2);
      SetRunningApps(uint32_t{1} << bit, 1);
      Answer("ok");
    } else if (op == "print") {
      std::string hex;
      uint32_t port = 0;
      in >> hex >> port;
      Answer(std::to_string(SendPRN(Unhex(hex).c_str(), port)));
    } else if (op == "nulls") {
      char buffer[4] = "abc";
      int32_t n = 7;
      std::string results;
      results += std::to_string(SetSysLogEntry(nullptr, nullptr));
      results += std::to_string(SetCommandEntry(nullptr));
      results += std::to_string(SetDebugEntry(nullptr));
      results += std::to_string(SetSysInfo(nullptr));
      results += std::to_string(SetTreeViewEntry(1, 2, nullptr, 3, 4));
      results += std::to_string(GetSysLogEntry(1, nullptr, 10));
      results += std::to_string(GetCommandEntry(nullptr, 10));
      results += std::to_string(GetSysInfo(nullptr, 10));
      results += std::to_string(GetSysInfo(buffer, 0));
      results += std::to_string(SendPRN(nullptr, 0));
      results += std::to_string(GetTreeViewEntry(1, buffer, 0, &n, &n, &n, &n));
      Answer(results + " " + buffer + " " + std::to_string(n));
    } else if (op == "zeros") {
      // Bytes of the region that are not zero, apart from this process's own count.
      static velmar::SharedRegion copy;
      if (!velmar::PeekRegion(copy)) {
        Answer("unreadable");
        continue;
      }
      const auto* bytes = reinterpret_cast<const unsigned char*>(&copy);
      int nonzero = 0;
      for (std::size_t i = 0; i < velmar::kRegionSize; ++i)
        if ((i < 24 || i > 25) && bytes[i] != 0) ++nonzero;
      Answer(std::to_string(nonzero) + " " + std::to_string(copy.ProcessCount));
    } else if (op == "produce") {
      std::string id;
      int count = 0;
      in >> id >> count;
      Answer(Produce(id, count) ? "done" : "stuck");
    } else if (op == "consume") {
      Consume();
      return 0;
    } else if (op == "threads") {
      int producers = 0, perProducer = 0;
      in >> producers >> perProducer;
      Answer(Threads(producers, perProducer));
    } else {
      Answer("unknown " + op);
    }
  }
  return 0;
}
