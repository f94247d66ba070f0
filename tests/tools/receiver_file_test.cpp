#include "receiver_file.h"

#include <gtest/gtest.h>

#include <set>

namespace velctl {
namespace {

using namespace vel;

TEST(ReceiverFileTest, SampleUsesEveryTagAndReadsBack) {
  const std::vector<std::string> names = {"Zulu", "alpha", std::string("caf\xE9"), "", "GROUP1"};
  const std::string bytes = EncodeReceiverFile(SampleReceivers(names));
  ReceiverFileContents file;
  std::string error;
  ASSERT_TRUE(DecodeReceiverFile(bytes, file, error)) << error;
  EXPECT_EQ(file.version, 1);
  ASSERT_EQ(file.statedCount, 5);
  std::set<uint16_t> tags;
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(file.records[i].Name, names[i]);
    EXPECT_EQ(file.records[i].TypeId, static_cast<int16_t>(i + 1));
    for (const TaggedValue& v : file.records[i].Values) {
      tags.insert(v.tag);
      if (ValueDataSize(v.tag) >= 0) {
        EXPECT_EQ(v.data.size(), static_cast<std::size_t>(ValueDataSize(v.tag)));
      }
    }
  }
  EXPECT_EQ(tags, std::set<uint16_t>(kValueTags.begin(), kValueTags.end()));
}

TEST(ReceiverFileTest, DamagedFilesKeepWhatWasReadWholeAndSayWhy) {
  const std::string good = EncodeReceiverFile(SampleReceivers({"one", "two"}));
  const std::string second = "receiver 1 (byte " + std::to_string(good.find("two") - 4) + "): ";
  struct Case {
    std::string bytes;
    std::string error;
    std::size_t records;
  } cases[] = {
      {"", "", 0},
      {"\x01", "", 0},
      {EncodeReceiverFileHeader(1, 0).substr(0, 2), "the file ends inside its header", 0},
      {EncodeReceiverFileHeader(2, 1), "version 2 is not 1", 0},
      {good.substr(0, good.size() - 1), second + "the file ends inside it", 1},
      {good, "", 2},
      {EncodeReceiverFileHeader(1, 1) + EncodeReceiverRecord({1, "x", {{9, ""}}}),
       "receiver 0 (byte 4): unknown tag 9", 0},
  };
  for (const Case& c : cases) {
    ReceiverFileContents file;
    std::string error;
    EXPECT_EQ(DecodeReceiverFile(c.bytes, file, error), c.error.empty()) << c.bytes.size();
    EXPECT_EQ(file.records.size(), c.records) << c.bytes.size();
    EXPECT_EQ(error, c.error);
  }
}

TEST(ReceiverFileTest, ValuesAreDescribed) {
  const std::vector<ReceiverRecord> records = SampleReceivers({"a", "b", "c", "d"});
  std::vector<std::string> shown;
  for (const ReceiverRecord& r : records)
    for (const TaggedValue& v : r.Values) shown.push_back(DescribeValue(v));
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
