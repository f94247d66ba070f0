// The receiver file "vel_rcv.dat" that the alarm server writes: a version (16-bit), a
// count (16-bit) and that many records of a type, a name and three tagged values, all
// little-endian and unpadded. Parsing is pure; the core reads the file and calls it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vel {

struct TaggedValue {
  uint16_t tag = 0;
  std::string data;  // the bytes after the tag, as stored
};

struct ReceiverRecord {
  int16_t TypeId = 0;
  std::string Name;
  TaggedValue Values[3];
};

struct ReceiverFile {
  int16_t version = 0;   // 0 when the file holds fewer than 2 bytes
  int16_t count = 0;     // ReceiverCount: the number of records read (negative as stored)
  bool complete = true;  // false when the file ended early or held an unknown tag
  std::vector<ReceiverRecord> records;
};

// The table holds this many receivers; records beyond it are skipped.
inline constexpr int16_t kMaxReceivers = 200;

// Parses the bytes of a receiver file. Version other than 1: no records, count 0. A
// negative count reads no record and stays negative. A file that ends inside a record
// or holds an unknown tag keeps the records read completely before it.
ReceiverFile ParseReceiverFile(const std::string& bytes);

// The names in the order of the hidden sorted list: alphabetical without regard to
// ASCII case, equal names in file order.
std::vector<std::string> SortedReceiverNames(const std::vector<ReceiverRecord>& records,
                                             int16_t count);

}  // namespace vel
