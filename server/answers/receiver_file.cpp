#include "receiver_file.h"

#include <algorithm>

#include "text_case.h"

namespace vel {

ReceiverFile ParseReceiverFile(const std::string& bytes) {
  ReceiverFileContents contents = ReadReceiverFile(bytes, kMaxReceivers);
  ReceiverFile file;
  file.version = contents.version;
  if (contents.stop == ReceiverFileStop::kOtherVersion) return file;
  file.stated = contents.statedCount;
  file.complete = contents.stop == ReceiverFileStop::kWhole;
  file.records = std::move(contents.records);
  file.count = file.stated < 0 ? file.stated : static_cast<int16_t>(file.records.size());
  return file;
}

std::vector<std::string> SortedReceiverNames(const std::vector<ReceiverRecord>& records,
                                             int16_t count) {
  std::vector<std::string> names;
  for (int16_t i = 0; i < count && static_cast<size_t>(i) < records.size(); ++i) {
    names.push_back(records[i].Name);
  }
  std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
      return static_cast<unsigned char>(AsciiUpper(x)) < static_cast<unsigned char>(AsciiUpper(y));
    });
  });
  return names;
}

}  // namespace vel
