#include "receiver_file.h"

#include <algorithm>

namespace vel {

namespace {

// Reads little-endian fields off the front of a byte string; every read reports
// whether the bytes were there.
class Reader {
 public:
  explicit Reader(const std::string& bytes) : bytes_(bytes) {}

  bool Take(size_t n, std::string& out) {
    if (bytes_.size() - pos_ < n) return false;
    out.assign(bytes_, pos_, n);
    pos_ += n;
    return true;
  }
  bool U16(uint16_t& out) {
    std::string b;
    if (!Take(2, b)) return false;
    out = static_cast<uint16_t>(static_cast<uint8_t>(b[0]) | static_cast<uint8_t>(b[1]) << 8);
    return true;
  }
  bool I16(int16_t& out) {
    uint16_t u;
    if (!U16(u)) return false;
    out = static_cast<int16_t>(u);
    return true;
  }

 private:
  const std::string& bytes_;
  size_t pos_ = 0;
};

// The size of the data after a tag; -1 for a text (counted), -2 for an unknown tag.
int DataSize(uint16_t tag) {
  switch (tag) {
    case 0:
    case 1:
      return 0;
    case 2:
    case 11:
      return 2;
    case 3:
    case 4:
    case 10:
      return 4;
    case 5:
    case 6:
    case 7:
      return 8;
    case 17:
      return 1;
    case 8:
      return -1;
    default:
      return -2;
  }
}

bool ReadValue(Reader& reader, TaggedValue& value) {
  if (!reader.U16(value.tag)) return false;
  const int size = DataSize(value.tag);
  if (size == -2) return false;
  if (size == -1) {
    uint16_t length;
    std::string text;
    if (!reader.U16(length) || !reader.Take(length, text)) return false;
    value.data =
        std::string{static_cast<char>(length & 0xFF), static_cast<char>(length >> 8)} + text;
    return true;
  }
  return reader.Take(static_cast<size_t>(size), value.data);
}

bool ReadRecord(Reader& reader, ReceiverRecord& record) {
  uint16_t nameLength;
  if (!reader.I16(record.TypeId) || !reader.U16(nameLength) ||
      !reader.Take(nameLength, record.Name)) {
    return false;
  }
  for (TaggedValue& value : record.Values) {
    if (!ReadValue(reader, value)) return false;
  }
  return true;
}

}  // namespace

ReceiverFile ParseReceiverFile(const std::string& bytes) {
  ReceiverFile file;
  if (bytes.size() <= 1) return file;
  Reader reader(bytes);
  reader.I16(file.version);
  if (file.version != 1) return file;

  int16_t stated = 0;
  if (!reader.I16(stated)) {
    file.complete = false;
    return file;
  }
  if (stated < 0) {
    file.count = stated;
    return file;
  }
  const int16_t wanted = std::min(stated, kMaxReceivers);
  for (int16_t i = 0; i < wanted; ++i) {
    ReceiverRecord record;
    if (!ReadRecord(reader, record)) {
      file.complete = false;
      break;
    }
    file.records.push_back(std::move(record));
  }
  file.count = static_cast<int16_t>(file.records.size());
  return file;
}

std::vector<std::string> SortedReceiverNames(const std::vector<ReceiverRecord>& records,
                                             int16_t count) {
  std::vector<std::string> names;
  for (int16_t i = 0; i < count && static_cast<size_t>(i) < records.size(); ++i) {
    names.push_back(records[i].Name);
  }
  auto fold = [](unsigned char c) {
    return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 'a' + 'A') : c;
  };
  std::stable_sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(), [&](char x, char y) {
          return fold(static_cast<unsigned char>(x)) < fold(static_cast<unsigned char>(y));
        });
  });
  return names;
}

}  // namespace vel
