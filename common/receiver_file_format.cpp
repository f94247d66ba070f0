#include "receiver_file_format.h"

namespace vel {

namespace {

void PutUint16(std::string& out, uint16_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>(value >> 8);
}

// Takes little-endian fields off the front of the bytes; every read says whether the
// bytes were there.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  bool Uint16(uint16_t& out) {
    if (bytes_.size() - pos_ < 2) return false;
    out = static_cast<uint16_t>(static_cast<unsigned char>(bytes_[pos_]) |
                                static_cast<unsigned char>(bytes_[pos_ + 1]) << 8);
    pos_ += 2;
    return true;
  }
  bool Int16(int16_t& out) {
    uint16_t u;
    if (!Uint16(u)) return false;
    out = static_cast<int16_t>(u);
    return true;
  }
  bool Bytes(size_t n, std::string& out) {
    if (bytes_.size() - pos_ < n) return false;
    out.assign(bytes_.substr(pos_, n));
    pos_ += n;
    return true;
  }
  size_t pos() const { return pos_; }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
};

// Reads one record: kWhole, or why it could not (and the tag, when it is unknown).
ReceiverFileStop ReadRecord(Reader& in, ReceiverRecord& record, uint16_t& badTag) {
  constexpr ReceiverFileStop kShort = ReceiverFileStop::kEndsInRecord;
  uint16_t length;
  if (!in.Int16(record.TypeId) || !in.Uint16(length) || !in.Bytes(length, record.Name)) {
    return kShort;
  }
  for (TaggedValue& value : record.Values) {
    if (!in.Uint16(value.tag)) return kShort;
    int size = ValueDataSize(value.tag);
    if (size == kUnknownTag) {
      badTag = value.tag;
      return ReceiverFileStop::kUnknownTag;
    }
    if (size == kCountedData) {
      if (!in.Uint16(length)) return kShort;
      size = length;
    }
    if (!in.Bytes(static_cast<size_t>(size), value.data)) return kShort;
  }
  return ReceiverFileStop::kWhole;
}

}  // namespace

int ValueDataSize(uint16_t tag) {
  switch (tag) {
    case kTagEmpty:
    case kTagNull:
      return 0;
    case kTagByte:
      return 1;
    case kTagInt16:
    case kTagBool:
      return 2;
    case kTagInt32:
    case kTagFloat:
    case kTagError:
      return 4;
    case kTagDouble:
    case kTagCurrency:
    case kTagDate:
      return 8;
    case kTagText:
      return kCountedData;
    default:
      return kUnknownTag;
  }
}

std::string EncodeReceiverFileHeader(int16_t version, int16_t count) {
  std::string out;
  PutUint16(out, static_cast<uint16_t>(version));
  PutUint16(out, static_cast<uint16_t>(count));
  return out;
}

std::string EncodeReceiverRecord(const ReceiverRecord& record) {
  std::string out;
  PutUint16(out, static_cast<uint16_t>(record.TypeId));
  PutUint16(out, static_cast<uint16_t>(record.Name.size()));
  out += record.Name;
  for (const TaggedValue& value : record.Values) {
    PutUint16(out, value.tag);
    if (value.tag == kTagText) PutUint16(out, static_cast<uint16_t>(value.data.size()));
    out += value.data;
  }
  return out;
}

std::string EncodeReceiverFile(const std::vector<ReceiverRecord>& records, int16_t version) {
  std::string out = EncodeReceiverFileHeader(version, static_cast<int16_t>(records.size()));
  for (const ReceiverRecord& record : records) out += EncodeReceiverRecord(record);
  return out;
}

ReceiverFileContents ReadReceiverFile(std::string_view bytes, int limit) {
  ReceiverFileContents file;
  if (bytes.size() <= 1) return file;
  Reader in(bytes);
  in.Int16(file.version);
  if (file.version != kReceiverFileVersion) {
    file.stop = ReceiverFileStop::kOtherVersion;
    return file;
  }
  if (!in.Int16(file.statedCount)) {
    file.stop = ReceiverFileStop::kEndsInHeader;
    return file;
  }
  const int wanted = file.statedCount < limit ? file.statedCount : limit;
  for (int i = 0; i < wanted; ++i) {
    const size_t at = in.pos();
    ReceiverRecord record;
    file.stop = ReadRecord(in, record, file.unknownTag);
    if (file.stop != ReceiverFileStop::kWhole) {
      file.stopRecord = i;
      file.stopRecordAt = at;
      return file;
    }
    file.records.push_back(std::move(record));
  }
  return file;
}

}  // namespace vel
