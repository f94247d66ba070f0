// The receiver file's bytes, as every reader and writer of it shares them.
#include "receiver_file_format.h"

#include <gtest/gtest.h>

namespace vel {
namespace {

TEST(ReceiverFileFormat, RecordBytesFollowTheFormatAndReadBack) {
  ReceiverRecord r;
  r.TypeId = -2;
  r.Name = "Zulu";
  r.Values[0] = {kTagEmpty, ""};
  r.Values[1] = {kTagText, "hello"};
  r.Values[2] = {kTagInt32, std::string("\x07\x00\x00\x00", 4)};
  const std::string bytes = EncodeReceiverFile({r});
  const std::string expected = std::string("\x01\x00\x01\x00", 4) + std::string("\xFE\xFF", 2) +
                               std::string("\x04\x00", 2) + "Zulu" + std::string("\x00\x00", 2) +
                               std::string("\x08\x00\x05\x00", 4) + "hello" +
                               std::string("\x03\x00\x07\x00\x00\x00", 6);
  EXPECT_EQ(bytes, expected);

  const ReceiverFileContents file = ReadReceiverFile(bytes);
  EXPECT_EQ(file.stop, ReceiverFileStop::kWhole);
  ASSERT_EQ(file.records.size(), 1u);
  EXPECT_EQ(file.records[0].TypeId, -2);
  EXPECT_EQ(file.records[0].Name, "Zulu");
  EXPECT_EQ(file.records[0].Values[1].data, "hello");  // the text without its count
  EXPECT_EQ(DecodeFixed<int32_t>(file.records[0].Values[2].data), 7);
}

}  // namespace
}  // namespace vel
