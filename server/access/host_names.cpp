#include "host_names.h"

#include <netdb.h>
#include <unistd.h>

#include <climits>

#include "ip_networks.h"
#include "text_case.h"

namespace vel {

namespace {

// A name refused is shown and logged this long at most.
constexpr size_t kShownBytes = 100;

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The name or address of a Host value, lower case, without its port and a trailing dot.
std::string HostPart(const std::string& value) {
  std::string host;
  if (!value.empty() && value[0] == '[') {
    host = value.substr(0, value.find(']') + 1);
  } else {
    host = value.substr(0, value.rfind(':'));
  }
  if (!host.empty() && host.back() == '.') host.pop_back();
  return Lower(host);
}

bool IsAddress(const std::string& host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    return IpAddress::Parse(host.substr(1, host.size() - 2)).has_value();
  }
  return host.find(':') == std::string::npos && IpAddress::Parse(host).has_value();
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::vector<std::string> MachineNames() {
  std::vector<std::string> names;
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return names;
  names.emplace_back(name);
  addrinfo hints{};
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) == 0) {
    if (found && found->ai_canonname) names.emplace_back(found->ai_canonname);
    freeaddrinfo(found);
  }
  return names;
}

}  // namespace

HostNames::HostNames(const std::string& hostsKey) : HostNames(hostsKey, MachineNames()) {}

HostNames::HostNames(const std::string& hostsKey, std::vector<std::string> machineNames)
    : checked_(true) {
  names_.push_back("localhost");
  for (std::string& name : machineNames) names_.push_back(HostPart(name + ":"));
  size_t from = 0;
  while (from < hostsKey.size()) {
    const size_t end = std::min(hostsKey.find_first_of(", \t", from), hostsKey.size());
    if (end > from) {
      const std::string name = hostsKey.substr(from, end - from);
      if (name == "*") any_ = true;
      names_.push_back(HostPart(name + ":"));
    }
    from = end + 1;
  }
}

bool HostNames::Accepts(const std::string& value) const {
  if (!checked_ || any_) return true;
  const std::string host = HostPart(value);
  if (host.empty()) return false;
  if (IsAddress(host) || EndsWith(host, ".localhost")) return true;
  for (const std::string& name : names_) {
    if (host == name) return true;
  }
  return false;
}

std::optional<std::string> HostNames::Refused(const HttpRequest& request, bool viaProxy) const {
  if (!checked_) return std::nullopt;
  if (viaProxy) {
    const std::vector<std::string> forwarded = request.HeaderValues("X-Forwarded-Host");
    if (!forwarded.empty()) {
      std::string last = forwarded.back().substr(forwarded.back().rfind(',') + 1);
      while (!last.empty() && (last.front() == ' ' || last.front() == '\t')) last.erase(0, 1);
      if (Accepts(last)) return std::nullopt;
      return last.substr(0, kShownBytes);
    }
  }
  const std::vector<std::string> host = request.HeaderValues("Host");
  if (host.empty()) {
    const std::string line = request.Text().substr(0, request.Text().find('\r'));
    if (line.size() >= 9 &&
        EqualsAsciiNoCase(std::string_view(line).substr(line.size() - 9), " HTTP/1.1")) {
      return std::string();
    }
    return std::nullopt;
  }
  for (const std::string& value : host) {
    if (!Accepts(value)) return value.substr(0, kShownBytes);
  }
  return std::nullopt;
}

}  // namespace vel
