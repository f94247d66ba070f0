// The queue, command, system-information and counter rules, against a region in memory.
#include "region_ops.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace velmar {
namespace {

class RegionOpsTest : public ::testing::Test {
 protected:
  // operator new aligns to 16, as the counter word needs.
  std::unique_ptr<SharedRegion> owned_ = std::make_unique<SharedRegion>();
  SharedRegion& r_ = *owned_;

  std::string Take(Queue q, bool rewind = false, uint16_t size = 256) {
    char buffer[256];
    std::memset(buffer, 'x', sizeof buffer);
    const int16_t n = TakeQueueEntry(r_, q, rewind, buffer, size);
    EXPECT_EQ(static_cast<std::size_t>(n), std::strlen(buffer));
    return std::string(buffer, n);
  }

  std::string TakeCmd(uint16_t size = 4096) {
    std::vector<char> buffer(size + 1, 'x');
    const int16_t n = TakeCommand(r_, buffer.data(), size);
    EXPECT_EQ(static_cast<std::size_t>(n), std::strlen(buffer.data()));
    return std::string(buffer.data(), n);
  }
};

struct QueueCase {
  const char* name;
  Queue queue;
  int capacity;
  int room;  // longest text kept + 1
  int32_t SharedRegion::*count;
  int32_t SharedRegion::*read;
};

class QueueRulesTest : public RegionOpsTest, public ::testing::WithParamInterface<QueueCase> {
 protected:
  int32_t Count() const {
    int32_t v;
    std::memcpy(&v, &(r_.*GetParam().count), 4);
    return v;
  }
  int32_t Read() const {
    int32_t v;
    std::memcpy(&v, &(r_.*GetParam().read), 4);
    return v;
  }
  void SetRead(int32_t v) { std::memcpy(&(r_.*GetParam().read), &v, 4); }
  void Fill(int n, int from = 0) {
    for (int i = from; i < from + n; ++i)
      StoreQueueEntry(r_, GetParam().queue, ("e" + std::to_string(i)).c_str());
  }
};

TEST_P(QueueRulesTest, HandsOutInOrderOnceThenNothingUntilRewind) {
  Fill(3);
  EXPECT_EQ(Take(GetParam().queue), "e0");
  EXPECT_EQ(Take(GetParam().queue), "e1");
  EXPECT_EQ(Take(GetParam().queue), "e2");
  char buffer[8] = "keepme";
  EXPECT_EQ(TakeQueueEntry(r_, GetParam().queue, false, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "keepme");  // nothing unread: buffer untouched
  EXPECT_EQ(Take(GetParam().queue, true), "e0");
  EXPECT_EQ(Read(), 1);
}

TEST_P(QueueRulesTest, FullQueueDropsOldestAndReadPositionFollowsItsEntry) {
  const int cap = GetParam().capacity;
  Fill(cap);
  SetRead(5);
  Fill(1, cap);  // one more
  EXPECT_EQ(Count(), cap);
  EXPECT_EQ(Read(), 4);
  EXPECT_EQ(Take(GetParam().queue), "e5");  // the same entry as before the drop

  // Read position 0 stays 0: the dropped entry is lost unread.
  SetRead(0);
  Fill(1, cap + 1);
  EXPECT_EQ(Read(), 0);
  EXPECT_EQ(Take(GetParam().queue), "e2");
}

TEST_P(QueueRulesTest, AllReadThenNewEntryIsNextOut) {
  const int cap = GetParam().capacity;
  Fill(cap);
  SetRead(cap);
  Fill(1, 1000);
  EXPECT_EQ(Read(), cap - 1);
  EXPECT_EQ(Take(GetParam().queue), "e1000");
}

TEST_P(QueueRulesTest, TextsAreShortenedToTheirRoom) {
  const int room = GetParam().room;
  const std::string fits(room - 1, 'a');
  const std::string tooLong = std::string(room - 1, 'b') + "c";
  StoreQueueEntry(r_, GetParam().queue, fits.c_str());
  StoreQueueEntry(r_, GetParam().queue, tooLong.c_str());
  EXPECT_EQ(Take(GetParam().queue), fits);
  EXPECT_EQ(Take(GetParam().queue), std::string(room - 1, 'b'));
}

TEST_P(QueueRulesTest, SmallBufferGetsFirstBytesAndEntryCountsAsReadSizeZeroNothing) {
  StoreQueueEntry(r_, GetParam().queue, "fifteen bytes!!");
  StoreQueueEntry(r_, GetParam().queue, "next");
  char buffer[4] = "abc";
  EXPECT_EQ(TakeQueueEntry(r_, GetParam().queue, true, buffer, 0), 0);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(Read(), 0);
  EXPECT_EQ(Take(GetParam().queue, false, 10), "fifteen b");
  EXPECT_EQ(Take(GetParam().queue), "next");
}

TEST_P(QueueRulesTest, EmptyTextIsHandedOutAsEmptyAndMovesOn) {
  StoreQueueEntry(r_, GetParam().queue, "");
  StoreQueueEntry(r_, GetParam().queue, "after");
  char buffer[8] = "xxxxxxx";
  EXPECT_EQ(TakeQueueEntry(r_, GetParam().queue, false, buffer, sizeof buffer), 0);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(Read(), 1);
  EXPECT_EQ(Take(GetParam().queue), "after");
}

TEST_P(QueueRulesTest, DamagedCountsStayInsideTheField) {
  // A holder that died, or a program of another build, may leave nonsense behind.
  int32_t bad = 100000;
  std::memcpy(&(r_.*GetParam().count), &bad, 4);
  bad = -7;
  std::memcpy(&(r_.*GetParam().read), &bad, 4);
  Fill(1, 77);
  EXPECT_EQ(Count(), GetParam().capacity);
  EXPECT_EQ(Take(GetParam().queue, true).size() < static_cast<std::size_t>(GetParam().room), true);
  bad = -3;
  std::memcpy(&(r_.*GetParam().count), &bad, 4);
  Fill(1, 78);
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(Take(GetParam().queue, true), "e78");
}

INSTANTIATE_TEST_SUITE_P(
    Queues, QueueRulesTest,
    ::testing::Values(QueueCase{"SysLog", Queue::SysLog, 200, 120, &SharedRegion::SysLogCount,
                                &SharedRegion::SysLogRead},
                      QueueCase{"TreeView", Queue::TreeView, 200, 80, &SharedRegion::TreeViewCount,
                                &SharedRegion::TreeViewRead},
                      QueueCase{"Debug", Queue::Debug, 50, 200, &SharedRegion::DebugCount,
                                &SharedRegion::DebugRead}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RegionOpsTest, EntriesLieAtTheirFixedOffsets) {
  StoreQueueEntry(r_, Queue::SysLog, "one");
  StoreQueueEntry(r_, Queue::SysLog, "two");
  const TreeViewNumbers n{1, -2, 3, 0x7FFFFFFF};
  StoreQueueEntry(r_, Queue::TreeView, "tree", &n);
  StoreQueueEntry(r_, Queue::Debug, "dbg");
  const auto* bytes = reinterpret_cast<const unsigned char*>(&r_);
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 30 + 120), "two");
  EXPECT_EQ(bytes[0], 2);  // SysLogCount, little-endian
  int32_t number2;
  std::memcpy(&number2, bytes + 24030 + 8, 4);
  EXPECT_EQ(number2, -2);
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 24030 + 20), "tree");
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 44030), "dbg");
}

TEST_F(RegionOpsTest, TreeViewNumbersGoOutOnlyWithAnEntryAndReservedMovesAlong) {
  for (int i = 0; i < kTreeViewCapacity; ++i) {
    r_.TreeView[i].Reserved[0] = static_cast<unsigned char>(i);
    const TreeViewNumbers n{i, i + 1, i + 2, i + 3};
    StoreQueueEntry(r_, Queue::TreeView, "t", &n);
  }
  const TreeViewNumbers n{9, 9, 9, 9};
  StoreQueueEntry(r_, Queue::TreeView, "last", &n);
  EXPECT_EQ(r_.TreeView[0].Reserved[0], 1);  // entry 1's reserved bytes moved down
  int32_t a = -1, b = -1, c = -1, d = -1;
  const TreeViewTargets targets{&a, &b, &c, &d};
  char buffer[80];
  EXPECT_EQ(TakeQueueEntry(r_, Queue::TreeView, true, buffer, sizeof buffer, &targets), 1);
  EXPECT_EQ(a, 1);
  EXPECT_EQ(d, 4);
  int32_t unset = 42;
  const TreeViewTargets some{nullptr, &unset, nullptr, nullptr};
  r_.TreeViewRead = kTreeViewCapacity;
  EXPECT_EQ(TakeQueueEntry(r_, Queue::TreeView, false, buffer, sizeof buffer, &some), 0);
  EXPECT_EQ(unset, 42);
}

TEST_F(RegionOpsTest, CommandsComeOutInOrderWithTerminators) {
  ASSERT_TRUE(StoreCommand(r_, "A"));
  ASSERT_TRUE(StoreCommand(r_, "B"));
  EXPECT_EQ(std::memcmp(r_.CommandBuffer, "A\377B\377", 5), 0);  // includes the zero byte
  EXPECT_EQ(CountCommands(r_), 2);
  // A peek copies what waits, terminators and all, and takes nothing; a buffer too small
  // for all of it gets the empty text.
  char peeked[8];
  EXPECT_EQ(PeekCommands(r_, peeked, sizeof peeked), 4);
  EXPECT_EQ(std::string(peeked), "A\377B\377");
  EXPECT_EQ(PeekCommands(r_, peeked, 4), 0);
  EXPECT_EQ(peeked[0], '\0');
  EXPECT_EQ(CountCommands(r_), 2);
  EXPECT_EQ(TakeCmd(), "A");
  EXPECT_EQ(CountCommands(r_), 1);
  EXPECT_EQ(TakeCmd(), "B");
  EXPECT_EQ(TakeCmd(), "");
  EXPECT_EQ(CountCommands(r_), 0);
  EXPECT_EQ(r_.CommandBuffer[0], 0);
}

TEST_F(RegionOpsTest, CommandRoomIsExactly4093) {
  ASSERT_TRUE(StoreCommand(r_, std::string(3999, 'a').c_str()));  // 4000 bytes of content
  ASSERT_EQ(PeekCommandLength(r_), 4000);
  EXPECT_FALSE(StoreCommand(r_, std::string(94, 'b').c_str()));
  EXPECT_EQ(PeekCommandLength(r_), 4000);
  EXPECT_TRUE(StoreCommand(r_, std::string(93, 'c').c_str()));
  EXPECT_EQ(PeekCommandLength(r_), 4094);
  EXPECT_EQ(r_.CommandBuffer[4094], 0);
  EXPECT_FALSE(StoreCommand(r_, "d"));
  EXPECT_EQ(TakeCmd(), std::string(3999, 'a'));
  EXPECT_EQ(TakeCmd(), std::string(93, 'c'));
}

TEST_F(RegionOpsTest, CommandRefusals) {
  struct Case {
    const char* command;
    bool stored;
  } cases[] = {
      {"", false},
      {"FT:a\xFF", false},
      {"\xFF", false},
      {"FT:GROUP1\xFEJOHN\xFESmoke", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StoreCommand(r_, c.command), c.stored) << c.command;
  }
  EXPECT_EQ(TakeCmd(), "FT:GROUP1\xFEJOHN\xFESmoke");
  // A command longer than the whole buffer is refused without being walked past 4096.
  EXPECT_FALSE(StoreCommand(r_, std::string(100000, 'z').c_str()));
}

TEST_F(RegionOpsTest, SmallBufferTakesTheWholeCommandAway) {
  ASSERT_TRUE(StoreCommand(r_, "sixsix"));
  ASSERT_TRUE(StoreCommand(r_, "next"));
  EXPECT_EQ(TakeCmd(4), "six");
  EXPECT_EQ(TakeCmd(), "next");
  char buffer[2] = "q";
  EXPECT_EQ(TakeCommand(r_, buffer, 0), 0);
  EXPECT_EQ(buffer[0], 'q');
}

TEST_F(RegionOpsTest, DamagedCommandBufferIsWalkedWithinItsField) {
  // No terminator before the zero byte: the content is one entry.
  std::memcpy(r_.CommandBuffer, "abc", 4);
  EXPECT_EQ(CountCommands(r_), 1);
  EXPECT_EQ(TakeCmd(), "abc");
  EXPECT_EQ(TakeCmd(), "");
  // No zero byte at all.
  std::memset(r_.CommandBuffer, 'q', kCommandBufferSize);
  r_.CommandBuffer[10] = kCommandTerminator;
  EXPECT_EQ(CountCommands(r_), 2);
  EXPECT_FALSE(StoreCommand(r_, "x"));
  EXPECT_EQ(TakeCmd(), std::string(10, 'q'));
  EXPECT_EQ(TakeCmd().size(), static_cast<std::size_t>(kCommandBufferSize - 1 - 11));
  EXPECT_TRUE(StoreCommand(r_, "x"));
  EXPECT_EQ(TakeCmd(), "x");
}

TEST_F(RegionOpsTest, SysInfoRules) {
  StoreSysInfo(r_, std::string(255, 's').c_str());
  char buffer[300];
  EXPECT_EQ(ReadSysInfo(r_, buffer, sizeof buffer), 255);
  StoreSysInfo(r_, std::string(256, 's').c_str());
  EXPECT_EQ(ReadSysInfo(r_, buffer, sizeof buffer), 0);
  EXPECT_EQ(r_.SysInfo[0], '\0');

  StoreSysInfo(r_, "0123456789");
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(ReadSysInfo(r_, buffer, 10), 0);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(ReadSysInfo(r_, buffer, 11), 10);
  EXPECT_STREQ(buffer, "0123456789");
  buffer[0] = 'x';
  EXPECT_EQ(ReadSysInfo(r_, buffer, 0), 0);
  EXPECT_EQ(buffer[0], 'x');  // a zero-size buffer is not written
}

TEST_F(RegionOpsTest, RunningAppsMasks) {
  ChangeRunningApps(r_, 5, true);
  EXPECT_TRUE(AnyRunningApp(r_, 4));
  EXPECT_FALSE(AnyRunningApp(r_, 2));
  ChangeRunningApps(r_, 4, false);
  EXPECT_TRUE(AnyRunningApp(r_, 5));
  EXPECT_FALSE(AnyRunningApp(r_, 0));
  ChangeRunningApps(r_, 0x80000000u, true);
  EXPECT_TRUE(AnyRunningApp(r_, 0x80000000u));
  const uint32_t apps = r_.RunningApps;  // a packed field: copied, not bound
  EXPECT_EQ(apps, 0x80000001u);
}

TEST_F(RegionOpsTest, CountersTouchNoOtherByte) {
  std::memset(&r_, 0xA5, kRegionSize);
  r_.ProcessCount = 0;
  r_.RunningApps = 0;
  IncrementProcessCount(r_);
  IncrementProcessCount(r_);
  ChangeRunningApps(r_, 0xFFFFFFFFu, true);
  DecrementProcessCount(r_);
  EXPECT_EQ(LoadProcessCount(r_), 1);
  EXPECT_EQ(LoadRunningApps(r_), 0xFFFFFFFFu);
  DecrementProcessCount(r_);
  DecrementProcessCount(r_);  // never below 0
  EXPECT_EQ(LoadProcessCount(r_), 0);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&r_);
  for (std::size_t i = 0; i < kRegionSize; ++i) {
    if (i >= 24 && i < 30) continue;
    ASSERT_EQ(bytes[i], 0xA5) << i;
  }
}

TEST_F(RegionOpsTest, CountersLoseNoUpdateUnderContention) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      const uint32_t bit = uint32_t{1} << (t * 8);
      for (int i = 0; i < kRounds; ++i) {
        IncrementProcessCount(r_);
        ChangeRunningApps(r_, bit, i % 2 == 0);
        DecrementProcessCount(r_);
      }
      ChangeRunningApps(r_, bit << 1, true);
      IncrementProcessCount(r_);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(LoadProcessCount(r_), kThreads);
  EXPECT_EQ(LoadRunningApps(r_), 0x02020202u);  // every thread's last change survived
}

}  // namespace
}  // namespace velmar
