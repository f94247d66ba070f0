#include "receiver_file.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "command_text.h"

namespace velctl {

const std::vector<uint16_t> kAllValueTags = {kTagEmpty, kTagNull,   kTagInt16,    kTagInt32,
                                             kTagFloat, kTagDouble, kTagCurrency, kTagDate,
                                             kTagText,  kTagError,  kTagBool,     kTagByte};

namespace {

void PutU16(std::string& out, uint16_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>(v >> 8);
}

template <typename T>
std::string LittleEndian(T value) {
  std::string out(sizeof(T), '\0');
  std::memcpy(out.data(), &value, sizeof(T));  // the machine is little-endian like the file
  return out;
}

template <typename T>
T FromLittleEndian(const std::string& data) {
  T value{};
  std::memcpy(&value, data.data(), sizeof(T) < data.size() ? sizeof(T) : data.size());
  return value;
}

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  bool U16(uint16_t& v) {
    if (bytes_.size() - pos_ < 2) return false;
    v = static_cast<uint16_t>(static_cast<unsigned char>(bytes_[pos_]) |
                              static_cast<unsigned char>(bytes_[pos_ + 1]) << 8);
    pos_ += 2;
    return true;
  }
  bool Bytes(std::size_t n, std::string& out) {
    if (bytes_.size() - pos_ < n) return false;
    out.assign(bytes_.substr(pos_, n));
    pos_ += n;
    return true;
  }
  std::size_t pos() const { return pos_; }

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

TaggedValue SampleValue(uint16_t tag, int index, const std::string& name) {
  TaggedValue v;
  v.tag = tag;
  switch (tag) {
    case kTagInt16:
      v.data = LittleEndian<int16_t>(static_cast<int16_t>(index + 1));
      break;
    case kTagInt32:
      v.data = LittleEndian<int32_t>(100000 + index);
      break;
    case kTagFloat:
      v.data = LittleEndian<float>(1.5f + index);
      break;
    case kTagDouble:
      v.data = LittleEndian<double>(2.25 + index);
      break;
    case kTagCurrency:
      v.data = LittleEndian<int64_t>(123450 + index);
      break;
    case kTagDate:
      v.data = LittleEndian<double>(36955.5 + index);
      break;  // 2001-03-05 12:00
    case kTagText:
      v.data = "Receiver " + name;
      break;
    case kTagError:
      v.data = LittleEndian<int32_t>(0x800A0000 + index);
      break;
    case kTagBool:
      v.data = LittleEndian<int16_t>(index % 2 == 0 ? -1 : 0);
      break;
    case kTagByte:
      v.data = std::string(1, static_cast<char>(index & 0xFF));
      break;
    default:
      break;
  }
  return v;
}

std::string Number(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

int FixedDataSize(uint16_t tag) {
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
      return -1;
    default:
      return -2;
  }
}

std::string EncodeReceiverFile(const std::vector<ReceiverRecord>& records, int16_t version) {
  std::string out;
  PutU16(out, static_cast<uint16_t>(version));
  PutU16(out, static_cast<uint16_t>(records.size()));
  for (const ReceiverRecord& r : records) {
    PutU16(out, static_cast<uint16_t>(r.typeId));
    PutU16(out, static_cast<uint16_t>(r.name.size()));
    out += r.name;
    for (const TaggedValue& v : r.values) {
      PutU16(out, v.tag);
      if (v.tag == kTagText) PutU16(out, static_cast<uint16_t>(v.data.size()));
      out += v.data;
    }
  }
  return out;
}

bool DecodeReceiverFile(std::string_view bytes, ReceiverFile& file, std::string& error) {
  file = ReceiverFile{};
  if (bytes.size() <= 1) {
    file.version = 0;
    return true;
  }
  Reader in(bytes);
  uint16_t word = 0;
  in.U16(word);
  file.version = static_cast<int16_t>(word);
  if (file.version != 1) {
    error = "version " + std::to_string(file.version) + " is not 1";
    return false;
  }
  if (!in.U16(word)) {
    error = "the file ends inside its header";
    return false;
  }
  file.count = static_cast<int16_t>(word);
  for (int i = 0; i < file.count; ++i) {
    const std::string where =
        "receiver " + std::to_string(i) + " (byte " + std::to_string(in.pos()) + "): ";
    ReceiverRecord r;
    uint16_t length = 0;
    if (!in.U16(word) || !in.U16(length) || !in.Bytes(length, r.name)) {
      error = where + "the file ends inside it";
      return false;
    }
    r.typeId = static_cast<int16_t>(word);
    for (TaggedValue& v : r.values) {
      if (!in.U16(v.tag)) {
        error = where + "the file ends inside it";
        return false;
      }
      int size = FixedDataSize(v.tag);
      if (size == -2) {
        error = where + "unknown tag " + std::to_string(v.tag);
        return false;
      }
      if (size == -1) {
        if (!in.U16(length)) {
          error = where + "the file ends inside it";
          return false;
        }
        size = length;
      }
      if (!in.Bytes(static_cast<std::size_t>(size), v.data)) {
        error = where + "the file ends inside it";
        return false;
      }
    }
    file.records.push_back(std::move(r));
  }
  return true;
}

std::vector<ReceiverRecord> SampleReceivers(const std::vector<std::string>& names) {
  std::vector<ReceiverRecord> records;
  std::size_t next = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    ReceiverRecord r;
    r.typeId = static_cast<int16_t>(i + 1);
    r.name = names[i];
    for (TaggedValue& v : r.values) {
      v = SampleValue(kAllValueTags[next % kAllValueTags.size()], static_cast<int>(i), names[i]);
      ++next;
    }
    records.push_back(std::move(r));
  }
  return records;
}

std::string DescribeValue(const TaggedValue& v, const vel::TerminalText* terminal) {
  switch (v.tag) {
    case kTagEmpty:
      return "empty";
    case kTagNull:
      return "null";
    case kTagInt16:
      return "int16 " + std::to_string(FromLittleEndian<int16_t>(v.data));
    case kTagInt32:
      return "int32 " + std::to_string(FromLittleEndian<int32_t>(v.data));
    case kTagFloat:
      return "float " + Number("%g", FromLittleEndian<float>(v.data));
    case kTagDouble:
      return "double " + Number("%.17g", FromLittleEndian<double>(v.data));
    case kTagCurrency: {
      const int64_t units = FromLittleEndian<int64_t>(v.data);
      char text[64];
      std::snprintf(text, sizeof text, "currency %s%" PRId64 ".%04" PRId64, units < 0 ? "-" : "",
                    (units < 0 ? -(units / 10000) : units / 10000),
                    (units < 0 ? -(units % 10000) : units % 10000));
      return text;
    }
    case kTagDate:
      return "date " + Number("%.17g", FromLittleEndian<double>(v.data));
    case kTagText:
      return "text \"" + EscapeBytes(v.data, terminal) + "\"";
    case kTagError: {
      char text[32];
      std::snprintf(text, sizeof text, "error 0x%08" PRIx32, FromLittleEndian<uint32_t>(v.data));
      return text;
    }
    case kTagBool:
      return FromLittleEndian<int16_t>(v.data) != 0 ? "bool true" : "bool false";
    case kTagByte:
      return "byte " + std::to_string(v.data.empty() ? 0 : static_cast<unsigned char>(v.data[0]));
    default:
      return "tag " + std::to_string(v.tag);
  }
}

}  // namespace velctl
