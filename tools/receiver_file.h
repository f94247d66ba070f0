// The receiver file "vel_rcv.dat" that the alarm server writes and the web server reads:
// a 16-bit version (1), a 16-bit count, then per receiver a 16-bit type, a 16-bit name
// length, the name, and three tagged values. Little-endian, nothing padded.
#ifndef VELCTL_RECEIVER_FILE_H
#define VELCTL_RECEIVER_FILE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "terminal_text.h"

namespace velctl {

// Tags of the tagged values.
enum ValueTag : uint16_t {
  kTagEmpty = 0,
  kTagNull = 1,
  kTagInt16 = 2,
  kTagInt32 = 3,
  kTagFloat = 4,
  kTagDouble = 5,
  kTagCurrency = 6,
  kTagDate = 7,
  kTagText = 8,
  kTagError = 10,
  kTagBool = 11,
  kTagByte = 17,
};

// Every tag in the order of the table.
extern const std::vector<uint16_t> kAllValueTags;

// A tagged value with its data as stored after the tag (for text: without the count).
struct TaggedValue {
  uint16_t tag = kTagEmpty;
  std::string data;
};

struct ReceiverRecord {
  int16_t typeId = 0;
  std::string name;
  TaggedValue values[3];
};

struct ReceiverFile {
  int16_t version = 1;
  int16_t count = 0;  // as stored; may disagree with records.size() in a damaged file
  std::vector<ReceiverRecord> records;
};

// Bytes of a file. count is records.size().
std::string EncodeReceiverFile(const std::vector<ReceiverRecord>& records, int16_t version = 1);

// Reads a file. Returns false with a reason in `error` when it is damaged (the records
// read completely so far are kept). A file of 0 or 1 byte holds no receivers.
bool DecodeReceiverFile(std::string_view bytes, ReceiverFile& file, std::string& error);

// Receivers with these names whose values go through every tag of the table in turn,
// so that four or more names use them all.
std::vector<ReceiverRecord> SampleReceivers(const std::vector<std::string>& names);

// A value as a person reads it: "int32 7", "text \"abc\"", "date 36955.5" ... (texts
// as EscapeBytes shows them on `terminal`).
std::string DescribeValue(const TaggedValue& value, const vel::TerminalText* terminal = nullptr);

// Data size after the tag for fixed-size tags; -1 for text, -2 for an unknown tag.
int FixedDataSize(uint16_t tag);

}  // namespace velctl

#endif  // VELCTL_RECEIVER_FILE_H
