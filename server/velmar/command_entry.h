// What every command entry that velweb hands to the alarm server must fit (the limit
// comes from the shared region's layout, the one place it is fixed), and how one reads:
// "FT:", the receivers each followed by the byte 0xFE, then the message.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "shared_region.h"

namespace vel {

// The longest command entry the alarm server can ever take: its command buffer holds
// kCommandContentMax bytes of entries, each with its terminator byte.
inline constexpr size_t kLargestCommandEntry = velmar::kCommandContentMax - 1;

// The names of `receivers`, each followed by 0xFE in it (as a submission holds them).
inline std::vector<std::string> ReceiverNames(std::string_view receivers) {
  std::vector<std::string> names;
  size_t start = 0;
  for (size_t end; (end = receivers.find('\xFE', start)) != std::string_view::npos;
       start = end + 1) {
    names.emplace_back(receivers.substr(start, end - start));
  }
  return names;
}

// The names joined by ", ", for a person.
inline std::string JoinedNames(const std::vector<std::string>& names) {
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : ", ") + name;
  return joined;
}

// A command entry's receivers (each followed by 0xFE) and message.
struct CommandParts {
  std::string receivers;
  std::string message;
};
inline CommandParts SplitCommand(std::string_view entry) {
  const size_t from = entry.substr(0, 3) == "FT:" ? 3 : 0;
  const size_t last = entry.rfind('\xFE');
  if (last == std::string_view::npos || last < from) return {{}, std::string(entry.substr(from))};
  return {std::string(entry.substr(from, last + 1 - from)), std::string(entry.substr(last + 1))};
}

}  // namespace vel
