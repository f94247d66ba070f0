// The exports of libVelmar.so. Each one takes the region lock (or, for the counters,
// works atomically without it) and hands the work to the region operations.
#include <cstring>

#include "log_file.h"
#include "printer.h"
#include "region_link.h"
#include "region_ops.h"

// Only the exports leave the library (it is built with -fvisibility=hidden).
#pragma GCC visibility push(default)
#include "velmar.h"
#pragma GCC visibility pop

namespace {

velmar::RegionLink g_link;

// Join and leave follow the loading and unloading of the library.
__attribute__((constructor)) void VelmarAttach() { velmar::JoinRegion(g_link); }
__attribute__((destructor)) void VelmarDetach() { velmar::LeaveRegion(g_link); }

uint16_t LowBits(uint32_t size) { return static_cast<uint16_t>(size & 0xFFFFu); }

int32_t StoreInQueue(velmar::Queue queue, const char* text,
                     const velmar::TreeViewNumbers* numbers = nullptr) {
  if (text == nullptr) return 0;
  velmar::RegionLock lock(g_link);
  if (!lock) return 0;
  velmar::StoreQueueEntry(lock.region(), queue, text, numbers);
  return 1;
}

int16_t TakeFromQueue(velmar::Queue queue, int32_t rewind, char* buffer, uint32_t size,
                      const velmar::TreeViewTargets* targets = nullptr) {
  const uint16_t room = LowBits(size);
  if (room == 0 || buffer == nullptr) return 0;
  velmar::RegionLock lock(g_link);
  if (!lock) return 0;
  return velmar::TakeQueueEntry(lock.region(), queue, rewind != 0, buffer, room, targets);
}

// An export that fills `buffer` (`size` bytes, of which the low 16 bits count) from the
// locked region; 0 when there is no room, and the empty text as well when there is no
// region.
template <class Read>
int16_t ReadLocked(char* buffer, uint32_t size, Read read) {
  const uint16_t room = LowBits(size);
  if (room == 0 || buffer == nullptr) return 0;
  velmar::RegionLock lock(g_link);
  if (!lock) {
    buffer[0] = '\0';
    return 0;
  }
  return read(lock.region(), room);
}

}  // namespace

int32_t SetSysLogEntry(const char* logFile, const char* entry) {
  if (entry == nullptr) return 0;
  velmar::RegionLock lock(g_link);
  if (!lock) return 0;
  if (std::strcmp(entry, velmar::kSeparatorEntry) != 0)
    velmar::StoreQueueEntry(lock.region(), velmar::Queue::SysLog, entry);
  // Still under the lock: lines of different processes never interleave in the file.
  if (logFile != nullptr && *logFile != '\0') velmar::AppendToLogFile(logFile, entry);
  return 1;
}

int16_t GetSysLogEntry(int32_t rewind, char* buffer, uint32_t size) {
  return TakeFromQueue(velmar::Queue::SysLog, rewind, buffer, size);
}

int32_t SetTreeViewEntry(int32_t number1, int32_t number2, const char* text, int32_t number3,
                         int32_t number4) {
  const velmar::TreeViewNumbers numbers{number1, number2, number3, number4};
  return StoreInQueue(velmar::Queue::TreeView, text, &numbers);
}

int16_t GetTreeViewEntry(int32_t rewind, char* buffer, uint32_t size, int32_t* number1,
                         int32_t* number2, int32_t* number3, int32_t* number4) {
  const velmar::TreeViewTargets targets{number1, number2, number3, number4};
  return TakeFromQueue(velmar::Queue::TreeView, rewind, buffer, size, &targets);
}

int32_t SetDebugEntry(const char* entry) { return StoreInQueue(velmar::Queue::Debug, entry); }

int16_t GetDebugEntry(int32_t rewind, char* buffer, uint32_t size) {
  return TakeFromQueue(velmar::Queue::Debug, rewind, buffer, size);
}

int32_t SetCommandEntry(const char* command) {
  if (command == nullptr) return 0;
  velmar::RegionLock lock(g_link);
  if (!lock) return 0;
  return velmar::StoreCommand(lock.region(), command) ? 1 : 0;
}

int16_t GetCommandEntry(char* buffer, uint32_t size) {
  return ReadLocked(buffer, size, [buffer](velmar::SharedRegion& region, uint16_t room) {
    return velmar::TakeCommand(region, buffer, room);
  });
}

int32_t SetSysInfo(const char* text) {
  if (text == nullptr) return 0;
  velmar::RegionLock lock(g_link);
  if (!lock) return 0;
  velmar::StoreSysInfo(lock.region(), text);
  return 1;
}

int16_t GetSysInfo(char* buffer, uint32_t size) {
  return ReadLocked(buffer, size, [buffer](velmar::SharedRegion& region, uint16_t room) {
    return velmar::ReadSysInfo(region, buffer, room);
  });
}

int16_t GetProcesses(void) {
  return g_link.region != nullptr ? velmar::LoadProcessCount(*g_link.region) : 0;
}

int32_t GetRunningApps(uint32_t mask) {
  return g_link.region != nullptr && velmar::AnyRunningApp(*g_link.region, mask) ? 1 : 0;
}

void SetRunningApps(uint32_t mask, int32_t running) {
  if (g_link.region != nullptr) velmar::ChangeRunningApps(*g_link.region, mask, running != 0);
}

int16_t SendPRN(const char* text, uint32_t port) {
  if (text == nullptr) return 0;
  return velmar::PrintOnPort(velmar::PrinterDirectory(), text, LowBits(port)) ? 1 : 0;
}
