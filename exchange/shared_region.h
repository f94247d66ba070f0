// The byte layout of the shared region that every program of the family maps.
//
// The layout is a fixed exchange format: programs built elsewhere map the same bytes, so
// every offset, width and capacity below is checked at compile time. Integers are
// little-endian and nothing is padded, which leaves RunningApps and every entry array at
// offsets that are not multiples of 4. Never take the address of a field: read and write
// them by name (the compiler then knows they may be unaligned).
#ifndef VELMAR_SHARED_REGION_H
#define VELMAR_SHARED_REGION_H

#include <cstddef>
#include <cstdint>

namespace velmar {

constexpr int kSysLogCapacity = 200;
constexpr int kSysLogEntrySize = 120;
constexpr int kTreeViewCapacity = 200;
constexpr int kTreeViewEntrySize = 100;
constexpr int kTreeViewTextRoom = 80;
constexpr int kDebugCapacity = 50;
constexpr int kDebugEntrySize = 200;
constexpr int kSysInfoSize = 256;
constexpr int kCommandBufferSize = 4096;
// Content before the closing zero byte of the command buffer never exceeds this.
constexpr int kCommandContentMax = 4094;
constexpr unsigned char kCommandTerminator = 0xFF;
constexpr std::size_t kRegionSize = 58382;

#pragma pack(push, 1)
struct TreeViewEntry {
  unsigned char Reserved[4];  // never written or read; moves with its entry
  int32_t Number1;
  int32_t Number2;
  int32_t Number3;
  int32_t Number4;
  char Text[kTreeViewTextRoom];
};

struct SharedRegion {
  int32_t SysLogCount;
  int32_t TreeViewCount;
  int32_t DebugCount;
  int32_t SysLogRead;
  int32_t TreeViewRead;
  int32_t DebugRead;
  int16_t ProcessCount;
  uint32_t RunningApps;
  char SysLog[kSysLogCapacity][kSysLogEntrySize];
  TreeViewEntry TreeView[kTreeViewCapacity];
  char Debug[kDebugCapacity][kDebugEntrySize];
  char SysInfo[kSysInfoSize];
  unsigned char CommandBuffer[kCommandBufferSize];
};
#pragma pack(pop)

static_assert(sizeof(TreeViewEntry) == kTreeViewEntrySize);
static_assert(offsetof(TreeViewEntry, Reserved) == 0);
static_assert(offsetof(TreeViewEntry, Number1) == 4);
static_assert(offsetof(TreeViewEntry, Number2) == 8);
static_assert(offsetof(TreeViewEntry, Number3) == 12);
static_assert(offsetof(TreeViewEntry, Number4) == 16);
static_assert(offsetof(TreeViewEntry, Text) == 20);

static_assert(offsetof(SharedRegion, SysLogCount) == 0);
static_assert(offsetof(SharedRegion, TreeViewCount) == 4);
static_assert(offsetof(SharedRegion, DebugCount) == 8);
static_assert(offsetof(SharedRegion, SysLogRead) == 12);
static_assert(offsetof(SharedRegion, TreeViewRead) == 16);
static_assert(offsetof(SharedRegion, DebugRead) == 20);
static_assert(offsetof(SharedRegion, ProcessCount) == 24);
static_assert(offsetof(SharedRegion, RunningApps) == 26);
static_assert(offsetof(SharedRegion, SysLog) == 30);
static_assert(offsetof(SharedRegion, TreeView) == 24030);
static_assert(offsetof(SharedRegion, Debug) == 44030);
static_assert(offsetof(SharedRegion, SysInfo) == 54030);
static_assert(offsetof(SharedRegion, CommandBuffer) == 54286);
static_assert(sizeof(SharedRegion) == kRegionSize);

// ProcessCount and RunningApps change without the lock. Both lie in the 8-byte word at
// this offset, which is aligned whenever the region itself is (a mapping always is).
constexpr std::size_t kCounterWordOffset = 24;
static_assert(kCounterWordOffset % 8 == 0);
static_assert(offsetof(SharedRegion, RunningApps) + sizeof(uint32_t) <= kCounterWordOffset + 8);

}  // namespace velmar

#endif  // VELMAR_SHARED_REGION_H
