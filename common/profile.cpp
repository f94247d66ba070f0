// ReadProfileString and WriteProfileString: INI files of the program directory.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "file_io.h"
#include "text_case.h"
#include "vel_proc.h"

namespace vel {

namespace {

// What a read buffer of 2048 characters holds, its terminating zero aside.
constexpr size_t kLongestValue = 2047;

struct ProfileLine {
  std::string text;    // without its line end
  std::string ending;  // "\r\n", "\n", "\r" or "" for a last line without one
};

enum class LineKind { kOther, kSection, kKey };

struct ParsedLine {
  LineKind kind = LineKind::kOther;
  std::string name;   // section or key name, blanks around removed
  size_t equals = 0;  // for a key: where its "=" stands in the line
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && IsBlank(text[first])) ++first;
  while (last > first && IsBlank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

std::vector<ProfileLine> SplitLines(const std::string& content) {
  std::vector<ProfileLine> lines;
  size_t start = 0;
  size_t i = 0;
  while (i < content.size()) {
    const char c = content[i];
    if (c != '\r' && c != '\n') {
      ++i;
      continue;
    }
    const size_t endingLength =
        (c == '\r' && i + 1 < content.size() && content[i + 1] == '\n') ? 2 : 1;
    lines.push_back({content.substr(start, i - start), content.substr(i, endingLength)});
    i += endingLength;
    start = i;
  }
  if (start < content.size()) lines.push_back({content.substr(start), ""});
  return lines;
}

ParsedLine Parse(const std::string& line) {
  ParsedLine parsed;
  size_t first = 0;
  while (first < line.size() && IsBlank(line[first])) ++first;
  if (first == line.size() || line[first] == ';') return parsed;
  if (line[first] == '[') {
    const size_t close = line.find(']', first + 1);
    const size_t end = close == std::string::npos ? line.size() : close;
    parsed.kind = LineKind::kSection;
    parsed.name = Trim(line.substr(first + 1, end - first - 1));
    return parsed;
  }
  const size_t equals = line.find('=');
  if (equals == std::string::npos) return parsed;
  parsed.kind = LineKind::kKey;
  parsed.name = Trim(line.substr(0, equals));
  parsed.equals = equals;
  return parsed;
}

std::string CleanValue(const std::string& raw) {
  std::string value = Trim(raw);
  if (value.size() >= 2 && value.front() == value.back() &&
      (value.front() == '"' || value.front() == '\'')) {
    value = value.substr(1, value.size() - 2);
  }
  return value;
}

std::string CutToBuffer(const std::string& text) { return text.substr(0, kLongestValue); }

// Where a key lives in a profile's lines, as reader and writer both see it.
struct KeyLocation {
  long keyLine = -1;            // the first line holding the key in a matching section
  long sectionHeader = -1;      // the first matching section's header line
  long sectionLastFilled = -1;  // its last line that is not blank
};

KeyLocation Locate(const std::vector<ProfileLine>& lines, const std::string& section,
                   const std::string& key) {
  KeyLocation at;
  const std::string wantedSection = Trim(section);
  const std::string wantedKey = Trim(key);
  bool inMatching = false;
  bool inFirstMatching = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const ParsedLine parsed = Parse(lines[i].text);
    if (parsed.kind == LineKind::kSection) {
      inMatching = EqualsCp1252NoCase(parsed.name, wantedSection);
      inFirstMatching = inMatching && at.sectionHeader < 0;
      if (inFirstMatching) {
        at.sectionHeader = static_cast<long>(i);
        at.sectionLastFilled = static_cast<long>(i);
      }
      continue;
    }
    if (inFirstMatching && !Trim(lines[i].text).empty()) {
      at.sectionLastFilled = static_cast<long>(i);
    }
    if (inMatching && parsed.kind == LineKind::kKey && at.keyLine < 0 &&
        EqualsCp1252NoCase(parsed.name, wantedKey)) {
      at.keyLine = static_cast<long>(i);
    }
  }
  return at;
}

bool BreaksForm(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

}  // namespace

std::string ReadProfileString(const std::string& section, const std::string& key,
                              const std::string& defaultValue, const std::string& fileName) {
  const auto content = ReadWholeFile(ProgramFile(fileName));
  if (!content) return CutToBuffer(defaultValue);
  const std::vector<ProfileLine> lines = SplitLines(*content);
  const KeyLocation at = Locate(lines, section, key);
  if (at.keyLine < 0) return CutToBuffer(defaultValue);
  const std::string& line = lines[static_cast<size_t>(at.keyLine)].text;
  return CutToBuffer(CleanValue(line.substr(Parse(line).equals + 1)));
}

std::vector<ProfileEntry> ProfileEntries(const std::string& content) {
  std::vector<ProfileEntry> entries;
  const std::vector<ProfileLine> lines = SplitLines(content);
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& text = lines[i].text;
    const ParsedLine parsed = Parse(text);
    ProfileEntry entry;
    entry.line = static_cast<int>(i) + 1;
    if (parsed.kind == LineKind::kSection) {
      entry.kind = ProfileEntry::Kind::kSection;
      entry.name = parsed.name;
    } else if (parsed.kind == LineKind::kKey) {
      entry.kind = ProfileEntry::Kind::kKey;
      entry.name = parsed.name;
      entry.value = CleanValue(text.substr(parsed.equals + 1));
    } else {
      const std::string trimmed = Trim(text);
      if (trimmed.empty() || trimmed[0] == ';') continue;
      entry.name = trimmed;
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

int WriteProfileString(const std::string& section, const std::string& key, const std::string& value,
                       const std::string& fileName) {
  if (BreaksForm(section) || BreaksForm(key) || BreaksForm(value)) return EINVAL;
  if (section.find(']') != std::string::npos || key.find('=') != std::string::npos) return EINVAL;
  // A key must read back as a key: not empty, not a comment, not a section.
  const std::string trimmedKey = Trim(key);
  if (trimmedKey.empty() || trimmedKey[0] == ';' || trimmedKey[0] == '[') return EINVAL;

  std::string path = ProgramFile(fileName);
  std::string content;
  unsigned mode = 0640;  // a new profile may hold the password hash: not for every account
  bool exists = false;
  int uid = -1;
  int gid = -1;
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) {
    // A file without any write permission bit is read-only, also for the superuser.
    if (!S_ISREG(info.st_mode)) return EISDIR;
    if ((info.st_mode & 0222) == 0) return EACCES;
    if (access(path.c_str(), W_OK) != 0) return errno;
    const auto existing = ReadWholeFile(path);
    if (!existing) return errno != 0 ? errno : EIO;  // writing would lose what cannot be read
    content = *existing;
    mode = info.st_mode & 07777;
    uid = static_cast<int>(info.st_uid);
    gid = static_cast<int>(info.st_gid);
    exists = true;
    // Replace the file a symbolic link points to, not the link.
    char real[PATH_MAX];
    if (realpath(path.c_str(), real) != nullptr) path = real;
  }

  std::vector<ProfileLine> lines = SplitLines(content);
  const std::string lineEnd =
      !lines.empty() && !lines.front().ending.empty() ? lines.front().ending : "\r\n";
  const KeyLocation at = Locate(lines, section, key);

  if (at.keyLine >= 0) {
    ProfileLine& line = lines[static_cast<size_t>(at.keyLine)];
    // Keep the key as spelt and the blanks after "=": only the value changes.
    size_t valueStart = Parse(line.text).equals + 1;
    while (valueStart < line.text.size() && IsBlank(line.text[valueStart])) ++valueStart;
    line.text = line.text.substr(0, valueStart) + value;
  } else {
    const std::string keyLine = key + "=" + value;
    if (at.sectionHeader >= 0) {
      const auto after = static_cast<size_t>(at.sectionLastFilled);
      if (lines[after].ending.empty()) lines[after].ending = lineEnd;
      lines.insert(lines.begin() + static_cast<long>(after) + 1, {keyLine, lineEnd});
    } else {
      if (!lines.empty() && lines.back().ending.empty()) lines.back().ending = lineEnd;
      lines.push_back({"[" + section + "]", lineEnd});
      lines.push_back({keyLine, lineEnd});
    }
  }

  std::string updated;
  updated.reserve(content.size() + key.size() + value.size() + section.size() + 8);
  for (const ProfileLine& line : lines) updated += line.text + line.ending;
  if (ReplaceWholeFile(path, updated, mode, /*applyUmask=*/!exists, uid, gid)) return 0;
  int error = errno;
  // No temporary file beside it (a directory we may not write in): the profile itself
  // may still be writable, and is rewritten where it stands.
  if (exists && (error == EACCES || error == EPERM || error == EROFS)) {
    if (RewriteWholeFile(path, updated)) return 0;
    error = errno;
  }
  return error;
}

}  // namespace vel
