// The web server's reading of the receiver file (its bytes: common/receiver_file_format.h).
// Lenient: whatever was read whole is kept, and a damaged file is never an error. Pure;
// the core reads the file and calls it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "receiver_file_format.h"

namespace vel {

struct ReceiverFile {
  int16_t version = 0;   // 0 when the file holds fewer than 2 bytes
  int16_t count = 0;     // ReceiverCount: the number of records read (negative as stored)
  int16_t stated = 0;    // the count as stored (0 when missing)
  bool complete = true;  // false when the file ended early or held an unknown tag
  std::vector<ReceiverRecord> records;
};

// Parses the bytes of a receiver file. Version other than 1: no records, count 0. A
// negative count reads no record and stays negative. Records beyond kMaxReceivers are
// skipped. A file that ends inside a record or holds an unknown tag keeps the records
// read completely before it.
ReceiverFile ParseReceiverFile(const std::string& bytes);

// The names in the order of the hidden sorted list: alphabetical without regard to
// ASCII case, equal names in file order.
std::vector<std::string> SortedReceiverNames(const std::vector<ReceiverRecord>& records,
                                             int16_t count);

}  // namespace vel
