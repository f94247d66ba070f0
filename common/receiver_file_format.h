// The receiver file "vel_rcv.dat": the alarm server writes it, the web server reads the
// names out of it, velctl writes and shows it. This header is the one description of its
// bytes; every reader and writer goes through it.
//
//   file    := version:int16 count:int16 record*      (count records; only version 1)
//   record  := typeId:int16 nameLength:uint16 name[nameLength] value value value
//   value   := tag:uint16 data                        (the tag gives the form of data)
//   text    := length:uint16 bytes[length]            (the data of kTagText)
//
// Every number is little-endian; nothing is padded or aligned. A file of 0 or 1 byte
// holds no receivers. Names and texts are 8-bit (Windows-1252) and have no terminator.
//
// ReadReceiverFile never fails: it keeps the records it read whole and says where and
// why it stopped. What a damaged file means is the caller's policy: the web server keeps
// what was read (server/receiver_file.h), velctl reports it (tools/receiver_file.h).
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace vel {

inline constexpr int16_t kReceiverFileVersion = 1;
// A reader's table holds this many receivers; the web server skips any beyond.
inline constexpr int16_t kMaxReceivers = 200;
// Names and texts are counted in 16 bits.
inline constexpr size_t kMaxReceiverText = 0xFFFF;

// The tags of the tagged values (the numbers of the OLE Automation variant types).
enum ValueTag : uint16_t {
  kTagEmpty = 0,
  kTagNull = 1,
  kTagInt16 = 2,
  kTagInt32 = 3,
  kTagFloat = 4,
  kTagDouble = 5,
  kTagCurrency = 6,  // 64-bit integer in units of 1/10000
  kTagDate = 7,      // 64-bit float, days since 1899-12-30
  kTagText = 8,
  kTagError = 10,
  kTagBool = 11,  // 16 bits: 0 false, -1 true
  kTagByte = 17,
};

// Every tag of the format, in the order of their numbers.
inline constexpr std::array<ValueTag, 12> kValueTags = {
    kTagEmpty,    kTagNull, kTagInt16, kTagInt32, kTagFloat, kTagDouble,
    kTagCurrency, kTagDate, kTagText,  kTagError, kTagBool,  kTagByte};

// What ValueDataSize gives for a text (its data is counted) and for a tag not in the format.
inline constexpr int kCountedData = -1;
inline constexpr int kUnknownTag = -2;

// The size of the data after a tag of fixed size; kCountedData or kUnknownTag otherwise.
int ValueDataSize(uint16_t tag);

// A tagged value: its tag and its data as stored after the tag (a text without its count).
struct TaggedValue {
  uint16_t tag = kTagEmpty;
  std::string data;
};

struct ReceiverRecord {
  int16_t TypeId = 0;  // the receiver's type in the alarm server; kept, not used here
  std::string Name;
  TaggedValue Values[3];  // kept, not used here
};

// ---- little-endian numbers -----------------------------------------------------------

static_assert(std::endian::native == std::endian::little, "the file's numbers are copied as is");

template <typename T>
std::string EncodeFixed(T value) {
  std::string out(sizeof(T), '\0');
  std::memcpy(out.data(), &value, sizeof(T));
  return out;
}

// Bytes missing at the end read as zero.
template <typename T>
T DecodeFixed(std::string_view bytes) {
  T value{};
  std::memcpy(&value, bytes.data(), sizeof(T) < bytes.size() ? sizeof(T) : bytes.size());
  return value;
}

// ---- writing -----------------------------------------------------------------------------

// The first four bytes of a file. Any count can be written, so that damaged files can be
// made on purpose.
std::string EncodeReceiverFileHeader(int16_t version, int16_t count);

// One record as the format lays it out. A name or text must be at most kMaxReceiverText
// bytes long: a longer one's count would be cut.
std::string EncodeReceiverRecord(const ReceiverRecord& record);

// A whole file of these records (at most INT16_MAX of them).
std::string EncodeReceiverFile(const std::vector<ReceiverRecord>& records,
                               int16_t version = kReceiverFileVersion);

// ---- reading -----------------------------------------------------------------------------

// Why reading stopped.
enum class ReceiverFileStop {
  kWhole,         // every record the count asks for was read (or as many as the limit)
  kOtherVersion,  // the version is not 1: nothing after it is read
  kEndsInHeader,  // the file ends inside the count
  kEndsInRecord,  // the file ends inside record stopRecord
  kUnknownTag,    // record stopRecord holds a value with unknownTag
};

struct ReceiverFileContents {
  int16_t version = 0;                  // 0 for a file of 0 or 1 byte
  int16_t statedCount = 0;              // the count as stored: 0 when missing, maybe negative
  std::vector<ReceiverRecord> records;  // the records read whole, in file order
  ReceiverFileStop stop = ReceiverFileStop::kWhole;
  int stopRecord = 0;       // the record reading stopped in
  size_t stopRecordAt = 0;  // the offset of its first byte
  uint16_t unknownTag = 0;
};

// Reads the records of a file, at most `limit` of them; a negative count reads none.
ReceiverFileContents ReadReceiverFile(std::string_view bytes, int limit = INT16_MAX);

}  // namespace vel
