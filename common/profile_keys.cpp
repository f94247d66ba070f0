#include "profile_keys.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <set>

#include "file_io.h"
#include "text_case.h"
#include "vel_proc.h"

namespace vel {

namespace {

// Edits (insert, delete, replace a letter) between two names, case aside.
size_t Distance(const std::string& a, const std::string& b) {
  const std::string x = Cp1252UpperText(a);
  const std::string y = Cp1252UpperText(b);
  std::vector<size_t> row(y.size() + 1);
  for (size_t j = 0; j <= y.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= x.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= y.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[y.size()];
}

// The candidate nearest to `name`, when it is near enough to be what was meant.
const char* Nearest(const std::string& name, const std::vector<const char*>& candidates) {
  const char* best = nullptr;
  size_t bestDistance = 0;
  for (const char* candidate : candidates) {
    const size_t d = Distance(name, candidate);
    if (!best || d < bestDistance) {
      best = candidate;
      bestDistance = d;
    }
  }
  if (!best) return nullptr;
  const size_t length = std::string(best).size();
  return bestDistance <= std::max<size_t>(2, length / 2) ? best : nullptr;
}

std::vector<const char*> Sections() {
  std::vector<const char*> sections;
  for (const ProfileKey& k : kProfileKeys) {
    if (std::none_of(sections.begin(), sections.end(),
                     [&](const char* s) { return EqualsCp1252NoCase(s, k.section); })) {
      sections.push_back(k.section);
    }
  }
  return sections;
}

std::vector<const char*> KeysOf(const std::string& section) {
  std::vector<const char*> keys;
  for (const ProfileKey& k : kProfileKeys) {
    if (EqualsCp1252NoCase(k.section, section)) keys.push_back(k.key);
  }
  return keys;
}

const ProfileKey* Find(const std::string& section, const std::string& key) {
  for (const ProfileKey& k : kProfileKeys) {
    if (EqualsCp1252NoCase(k.section, section) && EqualsCp1252NoCase(k.key, key)) return &k;
  }
  return nullptr;
}

// The known key of that name in any section.
const ProfileKey* FindAnywhere(const std::string& key) {
  for (const ProfileKey& k : kProfileKeys) {
    if (EqualsCp1252NoCase(k.key, key)) return &k;
  }
  return nullptr;
}

bool IsAccess(const std::string& section) { return EqualsCp1252NoCase(section, "Access"); }

std::string List(const std::vector<const char*>& names, const char* open, const char* close) {
  std::string list;
  for (const char* name : names)
    list += (list.empty() ? "" : ", ") + (open + std::string(name) + close);
  return list;
}

bool PlainInteger(const std::string& value) {
  size_t i = !value.empty() && (value[0] == '+' || value[0] == '-') ? 1 : 0;
  if (i == value.size()) return false;
  for (; i < value.size(); ++i) {
    if (value[i] < '0' || value[i] > '9') return false;
  }
  return true;
}

std::string NumberText(double value) {
  if (std::isinf(value)) return value > 0 ? "a number too large" : "a number too small";
  return std::to_string(RoundHalfEven(value));
}

}  // namespace

std::string ProfileKeysHelp() {
  std::string help;
  for (const ProfileKey& row : kProfileKeys) {
    std::string name = "  [" + std::string(row.section) + "] " + row.key;
    if (*row.defaultValue) name += " (" + std::string(row.defaultValue) + ")";
    std::string meaning = row.help;
    for (size_t at = 0; (at = meaning.find('\n', at)) != std::string::npos; at += 7) {
      meaning.replace(at, 1, "\n      ");
    }
    help += name + "\n      " + meaning + "\n";
  }
  return help;
}

std::string ReadProfileKey(ProfileSetting setting, const std::string& fileName) {
  const ProfileKey& row = RowOf(setting);
  return ReadProfileString(row.section, row.key, row.defaultValue, fileName);
}

int64_t ReadProfileNumber(ProfileSetting setting, const std::string& fileName) {
  return RoundHalfEven(LeadingNumber(ReadProfileKey(setting, fileName)));
}

int WriteProfileKey(ProfileSetting setting, const std::string& value, const std::string& fileName) {
  const ProfileKey& row = RowOf(setting);
  return WriteProfileString(row.section, row.key, value, fileName);
}

std::vector<std::string> CheckProfileKeys(const std::string& content, const std::string& fileName,
                                          std::vector<std::string>* startMistakes) {
  std::vector<std::string> warnings;
  bool aboutAccess = false;  // the next warning is a mistake about a guarding key
  auto warn = [&](int line, const std::string& text) {
    std::vector<std::string>& to = aboutAccess && startMistakes ? *startMistakes : warnings;
    to.push_back(fileName + " line " + std::to_string(line) + ": " + text);
    aboutAccess = false;
  };
  // Whether an unknown key's name is nearest to a guarding key among all keys.
  auto nearAccess = [](const std::string& name) {
    std::vector<const char*> all;
    for (const ProfileKey& k : kProfileKeys) all.push_back(k.key);
    const char* near = Nearest(name, all);
    const ProfileKey* key = near ? FindAnywhere(near) : nullptr;
    return key && key->guards;
  };
  std::string section;     // the current section as written
  bool inSection = false;  // a section header has been seen
  bool sectionKnown = false;
  std::map<std::string, int> firstLine;  // "SECTION\nKEY" upper-cased, of keys read

  bool sectionNearAccess = false;  // an unknown section taken for [Access]
  for (const ProfileEntry& entry : ProfileEntries(content)) {
    aboutAccess = false;
    switch (entry.kind) {
      case ProfileEntry::Kind::kSection: {
        section = entry.name;
        inSection = true;
        sectionKnown = !KeysOf(section).empty();
        sectionNearAccess = false;
        if (sectionKnown) break;
        const char* near = Nearest(section, Sections());
        sectionNearAccess = aboutAccess = near && IsAccess(near);
        warn(entry.line, "[" + section + "]: unknown section" +
                             (near ? ", did you mean [" + std::string(near) + "]?"
                                   : "; the known ones are " + List(Sections(), "[", "]")));
        break;
      }
      case ProfileEntry::Kind::kOther:
        warn(entry.line, "\"" + entry.name +
                             "\" is neither a [section] nor a key=value line, so it is ignored");
        break;
      case ProfileEntry::Kind::kKey: {
        if (!inSection) {
          const ProfileKey* known = FindAnywhere(entry.name);
          aboutAccess = nearAccess(entry.name);
          warn(entry.line, entry.name + ": outside any section, so it is never read" +
                               (known ? "; it belongs under [" + std::string(known->section) + "]"
                                      : std::string()));
          break;
        }
        if (!sectionKnown) {
          // The section has had its warning; a key of [Access] under it is a mistake.
          if (!sectionNearAccess && nearAccess(entry.name) && startMistakes) {
            aboutAccess = true;
            warn(entry.line, entry.name + ": in [" + section + "], so it is never read");
          }
          break;
        }
        const ProfileKey* known = Find(section, entry.name);
        if (!known) {
          const ProfileKey* elsewhere = FindAnywhere(entry.name);
          const char* near = Nearest(entry.name, KeysOf(section));
          aboutAccess = nearAccess(entry.name);
          std::string text = entry.name + ": unknown key in [" + section + "]";
          if (elsewhere) {
            text += ", did you mean it under [" + std::string(elsewhere->section) + "]?";
          } else if (near) {
            text += ", did you mean " + std::string(near) + "?";
          } else {
            text += "; known there: " + List(KeysOf(section), "", "");
          }
          warn(entry.line, text);
          break;
        }
        const std::string id = Cp1252UpperText(known->section) + "\n" + Cp1252UpperText(known->key);
        if (const auto first = firstLine.find(id); first != firstLine.end()) {
          aboutAccess = known->guards;
          warn(entry.line, entry.name + ": given again in [" + section + "]; the first, on line " +
                               std::to_string(first->second) + ", is the one read");
          break;
        }
        firstLine[id] = entry.line;
        if (!known->number) break;
        if (known->guards && PlainInteger(entry.value) && LeadingNumber(entry.value) < 0) {
          aboutAccess = true;
          warn(entry.line, entry.name + "=" + entry.value + " in [" + section +
                               "] is negative; write 0 for none, or a number above it");
        } else if (!PlainInteger(entry.value)) {
          // An empty [Access] number means none, as when the key is left out.
          aboutAccess = known->guards && !entry.value.empty();
          warn(entry.line, entry.name + "=" + entry.value + " in [" + section +
                               "] is not a whole number; it reads as " +
                               NumberText(LeadingNumber(entry.value)));
        } else if (const int64_t n = RoundHalfEven(LeadingNumber(entry.value));
                   n < known->lowest || n > known->highest) {
          const std::string range = known->highest == kNoLimit ? " is negative"
                                    : known->highest == known->lowest + 1
                                        ? " is neither " + std::to_string(known->lowest) + " nor " +
                                              std::to_string(known->highest)
                                        : " is outside " + std::to_string(known->lowest) + " to " +
                                              std::to_string(known->highest);
          warn(entry.line, entry.name + "=" + entry.value + " in [" + section + "]" + range +
                               "; it reads as 0");
        }
        break;
      }
    }
  }
  return warnings;
}

std::string ProfileProblem(const std::string& fileName) {
  const std::string path = ProgramFile(fileName);
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0 && errno == ENOENT) return {};
  std::string why;
  const std::optional<std::string> content = ReadWholeFile(path);
  if (!content) {
    if (errno == ENOENT) return {};  // a link to nowhere: missing, and made anew
    why = errno == EINVAL ? "it is no regular file" : std::strerror(errno);
  } else if (content->find('\0') != std::string::npos) {
    why = "it holds a zero byte, which no profile does (is it damaged?)";
  } else {
    return {};
  }
  const passwd* account = getpwuid(geteuid());
  const std::string user = account ? account->pw_name : "uid " + std::to_string(geteuid());
  return fileName + " in " + ProgramDir() + " cannot be read by the account " + user + ": " + why +
         ". Velmar Web Server does not start without its settings (it could let everyone send): "
         "make the file readable for that account, or remove it to start again from the "
         "shipped profile.";
}

}  // namespace vel
