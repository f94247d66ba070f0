// The receiver file: any bytes give at most 200 receivers, the count matches what was
// read, and the list comes out sorted without regard to case.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"
#include "receiver_file.h"
#include "text_case.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const vel::ReceiverFile file = vel::ParseReceiverFile(bytes);
  Check(file.count <= vel::kMaxReceivers, "more than 200 receivers");
  Check(file.count < 0 ? file.records.empty()
                       : file.records.size() == static_cast<size_t>(file.count),
        "count differs from the records read");
  const auto names = vel::SortedReceiverNames(file.records, file.count);
  Check(names.size() == file.records.size(), "names lost");
  for (size_t i = 1; i < names.size(); ++i) {
    const std::string a = vel::AsciiUpperText(names[i - 1]);
    const std::string b = vel::AsciiUpperText(names[i]);
    Check(std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(),
                                       [](char x, char y) {
                                         return static_cast<unsigned char>(x) <
                                                static_cast<unsigned char>(y);
                                       }) == false,
          "list not sorted");
  }
  return 0;
}
