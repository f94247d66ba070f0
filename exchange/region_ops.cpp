#include "region_ops.h"

#include <algorithm>
#include <cstring>

namespace velmar {
namespace {

// Where a queue lives in the region.
struct QueueFields {
  int32_t SharedRegion::*count;
  int32_t SharedRegion::*read;
  char* entries;
  int capacity;
  int entrySize;
  int textOffset;  // of the text within an entry
  int textRoom;    // bytes for the text and its zero byte
};

QueueFields FieldsOf(SharedRegion& region, Queue queue) {
  switch (queue) {
    case Queue::SysLog:
      return {&SharedRegion::SysLogCount,
              &SharedRegion::SysLogRead,
              &region.SysLog[0][0],
              kSysLogCapacity,
              kSysLogEntrySize,
              0,
              kSysLogEntrySize};
    case Queue::TreeView:
      return {&SharedRegion::TreeViewCount,
              &SharedRegion::TreeViewRead,
              reinterpret_cast<char*>(&region.TreeView[0]),
              kTreeViewCapacity,
              kTreeViewEntrySize,
              static_cast<int>(offsetof(TreeViewEntry, Text)),
              kTreeViewTextRoom};
    case Queue::Debug:
      break;
  }
  return {&SharedRegion::DebugCount,
          &SharedRegion::DebugRead,
          &region.Debug[0][0],
          kDebugCapacity,
          kDebugEntrySize,
          0,
          kDebugEntrySize};
}

// Fields of a packed struct are read and written by copy, never through a pointer of
// the field's own type, which would claim an alignment they do not have.
int32_t Load(const SharedRegion& region, int32_t SharedRegion::*field) {
  int32_t value;
  std::memcpy(&value, &(region.*field), sizeof value);
  return value;
}

void Store(SharedRegion& region, int32_t SharedRegion::*field, int32_t value) {
  std::memcpy(&(region.*field), &value, sizeof value);
}

int32_t Clamp(int32_t value, int32_t low, int32_t high) {
  return value < low ? low : (value > high ? high : value);
}

void CopyNumbersIn(char* entry, const TreeViewNumbers& n) {
  std::memcpy(entry + offsetof(TreeViewEntry, Number1), &n.number1, 4);
  std::memcpy(entry + offsetof(TreeViewEntry, Number2), &n.number2, 4);
  std::memcpy(entry + offsetof(TreeViewEntry, Number3), &n.number3, 4);
  std::memcpy(entry + offsetof(TreeViewEntry, Number4), &n.number4, 4);
}

void CopyNumberOut(const char* entry, std::size_t offset, int32_t* target) {
  if (target != nullptr) std::memcpy(target, entry + offset, 4);
}

void CopyNumbersOut(const char* entry, const TreeViewTargets& t) {
  CopyNumberOut(entry, offsetof(TreeViewEntry, Number1), t.number1);
  CopyNumberOut(entry, offsetof(TreeViewEntry, Number2), t.number2);
  CopyNumberOut(entry, offsetof(TreeViewEntry, Number3), t.number3);
  CopyNumberOut(entry, offsetof(TreeViewEntry, Number4), t.number4);
}

// Bytes before the command buffer's zero byte, after repairing the buffer: one without a
// zero byte (damaged by a holder that died mid-copy) gets one in its last byte, so every
// walk below ends. Only for callers that hold the lock and may write.
int RepairCommandEnd(SharedRegion& region) {
  const void* zero = std::memchr(region.CommandBuffer, 0, kCommandBufferSize);
  if (zero == nullptr) {
    region.CommandBuffer[kCommandBufferSize - 1] = 0;
    return kCommandBufferSize - 1;
  }
  return static_cast<int>(static_cast<const unsigned char*>(zero) - region.CommandBuffer);
}

// The counter word at offset 24: ProcessCount (bytes 0-1 of the word, little-endian),
// RunningApps (bytes 2-5) and two bytes of the first system-log entry, which a
// compare-and-swap writes back unchanged or not at all.
uint64_t* CounterWord(SharedRegion& region) {
  return reinterpret_cast<uint64_t*>(reinterpret_cast<unsigned char*>(&region) +
                                     kCounterWordOffset);
}

const uint64_t* CounterWord(const SharedRegion& region) {
  return reinterpret_cast<const uint64_t*>(reinterpret_cast<const unsigned char*>(&region) +
                                           kCounterWordOffset);
}

constexpr int kProcessCountShift = 0;
constexpr int kRunningAppsShift = 16;

int16_t ProcessCountOf(uint64_t word) {
  return static_cast<int16_t>(static_cast<uint16_t>(word >> kProcessCountShift));
}

uint64_t WithProcessCount(uint64_t word, int16_t count) {
  return (word & ~uint64_t{0xFFFF}) | static_cast<uint16_t>(count);
}

uint32_t RunningAppsOf(uint64_t word) { return static_cast<uint32_t>(word >> kRunningAppsShift); }

uint64_t WithRunningApps(uint64_t word, uint32_t apps) {
  return (word & ~(uint64_t{0xFFFFFFFF} << kRunningAppsShift)) |
         (uint64_t{apps} << kRunningAppsShift);
}

template <typename Change>
void UpdateCounterWord(SharedRegion& region, Change change) {
  uint64_t* word = CounterWord(region);
  uint64_t expected = __atomic_load_n(word, __ATOMIC_ACQUIRE);
  for (;;) {
    const uint64_t desired = change(expected);
    if (desired == expected) return;
    if (__atomic_compare_exchange_n(word, &expected, desired, true, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE))
      return;
  }
}

}  // namespace

void StoreQueueEntry(SharedRegion& region, Queue queue, const char* text,
                     const TreeViewNumbers* numbers) {
  const QueueFields q = FieldsOf(region, queue);
  int32_t count = Clamp(Load(region, q.count), 0, q.capacity);
  int32_t read = Clamp(Load(region, q.read), 0, count);

  if (count == q.capacity) {
    // Oldest entry out; the read position follows its entry down.
    std::memmove(q.entries, q.entries + q.entrySize,
                 static_cast<std::size_t>(q.capacity - 1) * q.entrySize);
    --count;
    if (read > 0) --read;
  }

  char* entry = q.entries + static_cast<std::size_t>(count) * q.entrySize;
  char* room = entry + q.textOffset;
  const std::size_t length = strnlen(text, q.textRoom);
  if (length < static_cast<std::size_t>(q.textRoom)) {
    std::memcpy(room, text, length + 1);
  } else {
    std::memcpy(room, text, q.textRoom - 1);
    room[q.textRoom - 1] = '\0';
  }
  if (queue == Queue::TreeView) CopyNumbersIn(entry, numbers ? *numbers : TreeViewNumbers{});

  Store(region, q.count, count + 1);
  Store(region, q.read, read);
}

int16_t TakeQueueEntry(SharedRegion& region, Queue queue, bool rewind, char* buffer, uint16_t size,
                       const TreeViewTargets* targets) {
  if (size == 0) return 0;
  const QueueFields q = FieldsOf(region, queue);
  const int32_t count = Clamp(Load(region, q.count), 0, q.capacity);
  int32_t read = rewind ? 0 : Clamp(Load(region, q.read), 0, count);

  int16_t result = 0;
  if (read < count) {
    const char* entry = q.entries + static_cast<std::size_t>(read) * q.entrySize;
    const char* text = entry + q.textOffset;
    // A damaged entry may lack its zero byte: never read past its room.
    std::size_t length = strnlen(text, q.textRoom - 1);
    if (length >= size) length = size - 1u;
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
    if (queue == Queue::TreeView && targets != nullptr) CopyNumbersOut(entry, *targets);
    ++read;
    result = static_cast<int16_t>(length);
  }
  Store(region, q.read, read);
  return result;
}

bool StoreCommand(SharedRegion& region, const char* command) {
  const int present = RepairCommandEnd(region);
  // Anything longer than the whole buffer is refused anyway; do not walk it all.
  const std::size_t length = strnlen(command, kCommandBufferSize);
  if (length == 0) return false;
  if (length + present > static_cast<std::size_t>(kCommandContentMax - 1)) return false;
  if (std::memchr(command, kCommandTerminator, length) != nullptr) return false;

  unsigned char* end = region.CommandBuffer + present;
  std::memcpy(end, command, length);
  end[length] = kCommandTerminator;
  end[length + 1] = 0;
  return true;
}

int16_t TakeCommand(SharedRegion& region, char* buffer, uint16_t size) {
  if (size == 0) return 0;
  unsigned char* commands = region.CommandBuffer;
  const int present = RepairCommandEnd(region);

  // The first entry ends at its terminator, or at the zero byte when it has none.
  const void* terminator = std::memchr(commands, kCommandTerminator, present);
  const int end = terminator != nullptr
                      ? static_cast<int>(static_cast<const unsigned char*>(terminator) - commands)
                      : present;
  const int copied = end < size - 1 ? end : size - 1;
  std::memcpy(buffer, commands, static_cast<std::size_t>(copied));
  buffer[copied] = '\0';

  if (end >= present) {
    commands[0] = 0;
  } else {
    // Everything after the terminator, closing zero byte included, moves to the front.
    std::memmove(commands, commands + end + 1, static_cast<std::size_t>(present - end));
  }
  return static_cast<int16_t>(copied);
}

int16_t PeekCommands(const SharedRegion& region, char* buffer, uint16_t size) {
  if (size == 0) return 0;
  const int length = std::min(PeekCommandLength(region), kCommandContentMax);
  if (length > size - 1) {
    buffer[0] = '\0';
    return 0;
  }
  std::memcpy(buffer, region.CommandBuffer, static_cast<std::size_t>(length));
  buffer[length] = '\0';
  return static_cast<int16_t>(length);
}

int PeekCommandLength(const SharedRegion& region) {
  const void* zero = std::memchr(region.CommandBuffer, 0, kCommandBufferSize);
  if (zero == nullptr) return kCommandBufferSize;
  return static_cast<int>(static_cast<const unsigned char*>(zero) - region.CommandBuffer);
}

int16_t CountCommands(const SharedRegion& region) {
  const unsigned char* commands = region.CommandBuffer;
  const void* zero = std::memchr(commands, 0, kCommandBufferSize);
  const int content = zero == nullptr
                          ? kCommandBufferSize - 1
                          : static_cast<int>(static_cast<const unsigned char*>(zero) - commands);
  int16_t count = 0;
  for (int at = 0; at < content; ++at) {
    if (commands[at] == 0xFF) ++count;
  }
  // A last command without its terminator (left by a holder that died) is taken too.
  if (content > 0 && commands[content - 1] != 0xFF) ++count;
  return count;
}

void StoreSysInfo(SharedRegion& region, const char* text) {
  const std::size_t length = strnlen(text, kSysInfoSize);
  if (length < static_cast<std::size_t>(kSysInfoSize)) {
    std::memcpy(region.SysInfo, text, length + 1);
  } else {
    region.SysInfo[0] = '\0';
  }
}

int16_t ReadSysInfo(const SharedRegion& region, char* buffer, uint16_t size) {
  if (size == 0) return 0;
  const std::size_t length = strnlen(region.SysInfo, kSysInfoSize - 1);
  if (length < size) {
    std::memcpy(buffer, region.SysInfo, length);
    buffer[length] = '\0';
    return static_cast<int16_t>(length);
  }
  buffer[0] = '\0';
  return 0;
}

void IncrementProcessCount(SharedRegion& region) {
  UpdateCounterWord(region, [](uint64_t word) {
    const int16_t count = ProcessCountOf(word);
    return count == INT16_MAX ? word : WithProcessCount(word, static_cast<int16_t>(count + 1));
  });
}

void DecrementProcessCount(SharedRegion& region) {
  UpdateCounterWord(region, [](uint64_t word) {
    const int16_t count = ProcessCountOf(word);
    return count > 0 ? WithProcessCount(word, static_cast<int16_t>(count - 1)) : word;
  });
}

int16_t LoadProcessCount(const SharedRegion& region) {
  return ProcessCountOf(__atomic_load_n(CounterWord(region), __ATOMIC_ACQUIRE));
}

void ChangeRunningApps(SharedRegion& region, uint32_t mask, bool running) {
  UpdateCounterWord(region, [mask, running](uint64_t word) {
    const uint32_t apps = RunningAppsOf(word);
    return WithRunningApps(word, running ? (apps | mask) : (apps & ~mask));
  });
}

bool AnyRunningApp(const SharedRegion& region, uint32_t mask) {
  return (LoadRunningApps(region) & mask) != 0;
}

uint32_t LoadRunningApps(const SharedRegion& region) {
  return RunningAppsOf(__atomic_load_n(CounterWord(region), __ATOMIC_ACQUIRE));
}

}  // namespace velmar
