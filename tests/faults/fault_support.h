// Helpers of the load and fault suites, on top of the shared test support: a velctl that
// runs in the background and collects its lines, a process that holds the library's
// lock, receiver files and the names a page lists.
#pragma once

#include <algorithm>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "processes.h"
#include "receiver_file_format.h"
#include "velweb_process.h"

namespace veltest {

// velctl of the server's program directory with `arguments`, against its region.
class Follower : public BackgroundProcess {
 public:
  Follower(const Velweb& server, const std::string& arguments)
      : BackgroundProcess(Split((server.dir() / "velctl").string() + " " + arguments),
                          server.instance()) {}

 private:
  static std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
  }
};

#ifdef VELMAR_LOCK_HOLDER
// A process of the family that takes the region lock and stops itself holding it.
class LockHolder : public BackgroundProcess {
 public:
  explicit LockHolder(const std::string& instance)
      : BackgroundProcess({VELMAR_LOCK_HOLDER}, instance) {}

  // True once it has said that it holds the lock and has stopped.
  bool Holding() {
    return started() && WaitFor([&] {
             const auto lines = Lines();
             return lines.size() >= 2 && lines[1] == "locked" && Stopped();
           });
  }

  void Kill() { BackgroundProcess::Kill(SIGKILL); }
  void Continue() { BackgroundProcess::Kill(SIGCONT); }

 private:
  bool Stopped() {
    std::ifstream in("/proc/" + std::to_string(pid()) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'T';
  }
};
#endif

// A receiver file of version 1 with these names; every record has three empty values.
inline std::string ReceiverFileBytes(const std::vector<std::string>& names) {
  std::vector<vel::ReceiverRecord> records;
  for (const std::string& name : names) records.push_back({0, name, {}});
  return vel::EncodeReceiverFile(records);
}

inline std::vector<std::string> SortedNoCase(std::vector<std::string> names) {
  auto lower = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  std::stable_sort(names.begin(), names.end(),
                   [&](const std::string& a, const std::string& b) { return lower(a) < lower(b); });
  return names;
}

// The names of a page "<p>VERSION</p>", "<li>NAME</li>"..., "end"; nothing when the
// page is not whole.
inline std::optional<std::vector<std::string>> ListedNames(const std::string& page) {
  static const std::string kHead = "<p>1.0.00</p>\r\n", kTail = "end\r\n";
  if (page.size() < kHead.size() + kTail.size() || page.compare(0, kHead.size(), kHead) != 0 ||
      page.compare(page.size() - kTail.size(), kTail.size(), kTail) != 0) {
    return std::nullopt;
  }
  std::vector<std::string> names;
  size_t at = kHead.size();
  const size_t end = page.size() - kTail.size();
  while (at < end) {
    const size_t stop = page.find("</li>\r\n", at);
    if (stop == std::string::npos || page.compare(at, 4, "<li>") != 0) return std::nullopt;
    names.push_back(page.substr(at + 4, stop - at - 4));
    at = stop + 7;
  }
  return names;
}

}  // namespace veltest
