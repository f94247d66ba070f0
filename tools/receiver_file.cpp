#include "receiver_file.h"

#include <cinttypes>
#include <cstdio>

#include "command_text.h"

namespace velctl {

using namespace vel;

namespace {

TaggedValue SampleValue(uint16_t tag, int index, const std::string& name) {
  TaggedValue v;
  v.tag = tag;
  switch (tag) {
    case kTagInt16:
      v.data = EncodeFixed<int16_t>(static_cast<int16_t>(index + 1));
      break;
    case kTagInt32:
      v.data = EncodeFixed<int32_t>(100000 + index);
      break;
    case kTagFloat:
      v.data = EncodeFixed<float>(1.5f + index);
      break;
    case kTagDouble:
      v.data = EncodeFixed<double>(2.25 + index);
      break;
    case kTagCurrency:
      v.data = EncodeFixed<int64_t>(123450 + index);
      break;
    case kTagDate:
      v.data = EncodeFixed<double>(36955.5 + index);
      break;  // 2001-03-05 12:00
    case kTagText:
      v.data = std::string(kSampleTextPrefix) + name;
      break;
    case kTagError:
      v.data = EncodeFixed<int32_t>(0x800A0000 + index);
      break;
    case kTagBool:
      v.data = EncodeFixed<int16_t>(index % 2 == 0 ? -1 : 0);
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

bool DecodeReceiverFile(std::string_view bytes, ReceiverFileContents& file, std::string& error) {
  file = ReadReceiverFile(bytes);
  const std::string where = "receiver " + std::to_string(file.stopRecord) + " (byte " +
                            std::to_string(file.stopRecordAt) + "): ";
  switch (file.stop) {
    case ReceiverFileStop::kWhole:
      return true;
    case ReceiverFileStop::kOtherVersion:
      error = "version " + std::to_string(file.version) + " is not 1";
      return false;
    case ReceiverFileStop::kEndsInHeader:
      error = "the file ends inside its header";
      return false;
    case ReceiverFileStop::kEndsInRecord:
      error = where + "the file ends inside it";
      return false;
    case ReceiverFileStop::kUnknownTag:
      error = where + "unknown tag " + std::to_string(file.unknownTag);
      return false;
  }
  return false;
}

std::vector<ReceiverRecord> SampleReceivers(const std::vector<std::string>& names) {
  std::vector<ReceiverRecord> records;
  std::size_t next = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    ReceiverRecord r;
    r.TypeId = static_cast<int16_t>(i + 1);
    r.Name = names[i];
    for (TaggedValue& v : r.Values) {
      v = SampleValue(kValueTags[next % kValueTags.size()], static_cast<int>(i), names[i]);
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
      return "int16 " + std::to_string(DecodeFixed<int16_t>(v.data));
    case kTagInt32:
      return "int32 " + std::to_string(DecodeFixed<int32_t>(v.data));
    case kTagFloat:
      return "float " + Number("%g", DecodeFixed<float>(v.data));
    case kTagDouble:
      return "double " + Number("%.17g", DecodeFixed<double>(v.data));
    case kTagCurrency: {
      const int64_t units = DecodeFixed<int64_t>(v.data);
      char text[64];
      std::snprintf(text, sizeof text, "currency %s%" PRId64 ".%04" PRId64, units < 0 ? "-" : "",
                    (units < 0 ? -(units / 10000) : units / 10000),
                    (units < 0 ? -(units % 10000) : units % 10000));
      return text;
    }
    case kTagDate:
      return "date " + Number("%.17g", DecodeFixed<double>(v.data));
    case kTagText:
      return "text \"" + EscapeBytes(v.data, terminal) + "\"";
    case kTagError: {
      char text[32];
      std::snprintf(text, sizeof text, "error 0x%08" PRIx32, DecodeFixed<uint32_t>(v.data));
      return text;
    }
    case kTagBool:
      return DecodeFixed<int16_t>(v.data) != 0 ? "bool true" : "bool false";
    case kTagByte:
      return "byte " + std::to_string(v.data.empty() ? 0 : static_cast<unsigned char>(v.data[0]));
    default:
      return "tag " + std::to_string(v.tag);
  }
}

}  // namespace velctl
