#include "receiver_file.h"

#include <gtest/gtest.h>

#include <set>

namespace velctl {
namespace {

TEST(ReceiverFileTest, RecordBytesFollowTheFormat) {
  ReceiverRecord r;
  r.typeId = -2;
  r.name = "Zulu";
  r.values[0] = {kTagEmpty, ""};
  r.values[1] = {kTagText, "hello"};
  r.values[2] = {kTagInt32, std::string("\x07\x00\x00\x00", 4)};
  const std::string bytes = EncodeReceiverFile({r});
  const std::string expected = std::string("\x01\x00\x01\x00", 4) + std::string("\xFE\xFF", 2) +
                               std::string("\x04\x00", 2) + "Zulu" + std::string("\x00\x00", 2) +
                               std::string("\x08\x00\x05\x00", 4) + "hello" +
                               std::string("\x03\x00\x07\x00\x00\x00", 6);
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(bytes.size() - 4, 2u + 2 + 4 + 2 + (2 + 2 + 5) + (2 + 4));
}

TEST(ReceiverFileTest, SampleUsesEveryTagAndReadsBack) {
  const std::vector<std::string> names = {"Zulu", "alpha", std::string("caf\xE9"), "", "GROUP1"};
  const std::string bytes = EncodeReceiverFile(SampleReceivers(names));
  ReceiverFile file;
  std::string error;
  ASSERT_TRUE(DecodeReceiverFile(bytes, file, error)) << error;
  EXPECT_EQ(file.version, 1);
  ASSERT_EQ(file.count, 5);
  std::set<uint16_t> tags;
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(file.records[i].name, names[i]);
    EXPECT_EQ(file.records[i].typeId, static_cast<int16_t>(i + 1));
    for (const TaggedValue& v : file.records[i].values) {
      tags.insert(v.tag);
      if (FixedDataSize(v.tag) >= 0) {
        EXPECT_EQ(v.data.size(), static_cast<std::size_t>(FixedDataSize(v.tag)));
      }
    }
  }
  EXPECT_EQ(tags, std::set<uint16_t>(kAllValueTags.begin(), kAllValueTags.end()));
}

TEST(ReceiverFileTest, DamagedFilesKeepWhatWasReadWhole) {
  const std::string good = EncodeReceiverFile(SampleReceivers({"one", "two"}));
  struct Case {
    std::string bytes;
    bool ok;
    std::size_t records;
  } cases[] = {
      {"", true, 0},
      {"\x01", true, 0},
      {std::string("\x01\x00", 2), false, 0},
      {std::string("\x02\x00\x01\x00", 4), false, 0},
      {good.substr(0, good.size() - 1), false, 1},
      {good, true, 2},
      {good.substr(0, 4) + std::string("\x01\x00\x01\x00", 4) + "x" + std::string("\x09\x00", 2),
       false, 0},  // tag 9 is not in the table
  };
  for (const Case& c : cases) {
    ReceiverFile file;
    std::string error;
    EXPECT_EQ(DecodeReceiverFile(c.bytes, file, error), c.ok) << c.bytes.size();
    EXPECT_EQ(file.records.size(), c.records) << c.bytes.size();
    EXPECT_EQ(error.empty(), c.ok);
  }
}

TEST(ReceiverFileTest, ValuesAreDescribed) {
  const std::vector<ReceiverRecord> records = SampleReceivers({"a", "b", "c", "d"});
  std::vector<std::string> shown;
  for (const ReceiverRecord& r : records)
    for (const TaggedValue& v : r.values) shown.push_back(DescribeValue(v));
  const std::vector<std::string> expected = {"empty",
                                             "null",
                                             "int16 1",
                                             "int32 100001",
                                             "float 2.5",
                                             "double 3.25",
                                             "currency 12.3452",
                                             "date 36957.5",
                                             "text \"Receiver c\"",
                                             "error 0x800a0003",
                                             "bool false",
                                             "byte 3"};
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(DescribeValue({kTagCurrency, std::string("\x0e\xff\xff\xff\xff\xff\xff\xff", 8)}),
            "currency -0.0242");
}

}  // namespace
}  // namespace velctl
