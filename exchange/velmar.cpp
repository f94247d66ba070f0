// The exports of libVelmar.so. Each one takes the region lock (or, for the counters,
// works atomically without it) and hands the work to the region operations.
#include <pthread.h>
#include <time.h>

#include <atomic>
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

constexpr int64_t kRejoinIntervalMs = 1000;

// g_link is read by the exports only once g_joined says it is complete; joining and
// leaving change it under g_joinGuard.
velmar::RegionLink g_link;
const velmar::RegionLink g_notJoined;
std::atomic<bool> g_joined{false};
std::atomic<bool> g_unloaded{false};
std::atomic<int64_t> g_nextJoinMs{0};
pthread_mutex_t g_joinGuard = PTHREAD_MUTEX_INITIALIZER;

// Why the calling thread's last SetSysLogEntry did not write its log-file copy.
thread_local int32_t t_logFileError = 0;

int64_t MonotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Called with g_joinGuard held.
void Join() {
  if (velmar::JoinRegion(g_link)) g_joined.store(true, std::memory_order_release);
  g_nextJoinMs.store(MonotonicMs() + kRejoinIntervalMs);
}

// Join and leave follow the loading and unloading of the library.
__attribute__((constructor)) void VelmarAttach() {
  pthread_mutex_lock(&g_joinGuard);
  Join();
  pthread_mutex_unlock(&g_joinGuard);
}

__attribute__((destructor)) void VelmarDetach() {
  pthread_mutex_lock(&g_joinGuard);
  g_unloaded = true;
  if (g_joined.exchange(false)) velmar::LeaveRegion(g_link);
  pthread_mutex_unlock(&g_joinGuard);
}

// The region of this process. While it is not joined, one call a second tries to join
// it again, so that the callers recover once the cause is gone; the others, and every
// call meanwhile, get a link without a region (the exports' refusal).
const velmar::RegionLink& Link() {
  if (g_joined.load(std::memory_order_acquire)) return g_link;
  int64_t next = g_nextJoinMs.load();
  const int64_t now = MonotonicMs();
  if (g_unloaded || now < next ||
      !g_nextJoinMs.compare_exchange_strong(next, now + kRejoinIntervalMs))
    return g_notJoined;
  // Never wait behind another thread's join (or a guard that a fork left taken).
  if (pthread_mutex_trylock(&g_joinGuard) != 0) return g_notJoined;
  if (!g_unloaded && !g_joined.load()) Join();
  pthread_mutex_unlock(&g_joinGuard);
  return g_joined.load(std::memory_order_acquire) ? g_link : g_notJoined;
}

uint16_t LowBits(uint32_t size) { return static_cast<uint16_t>(size & 0xFFFFu); }

int32_t StoreInQueue(velmar::Queue queue, const char* text,
                     const velmar::TreeViewNumbers* numbers = nullptr) {
  if (text == nullptr) return 0;
  velmar::RegionLock lock(Link());
  if (!lock) return 0;
  velmar::StoreQueueEntry(lock.region(), queue, text, numbers);
  return 1;
}

int16_t TakeFromQueue(velmar::Queue queue, int32_t rewind, char* buffer, uint32_t size,
                      const velmar::TreeViewTargets* targets = nullptr) {
  const uint16_t room = LowBits(size);
  if (room == 0 || buffer == nullptr) return 0;
  velmar::RegionLock lock(Link());
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
  velmar::RegionLock lock(Link());
  if (!lock) {
    buffer[0] = '\0';
    return 0;
  }
  return read(lock.region(), room);
}

}  // namespace

int32_t SetSysLogEntry(const char* logFile, const char* entry) {
  t_logFileError = 0;
  if (entry == nullptr) return 0;
  const velmar::RegionLink& link = Link();
  if (link.region == nullptr) return 0;
  int32_t result = 0;
  {
    velmar::RegionLock lock(link);
    if (lock) {
      if (std::strcmp(entry, velmar::kSeparatorEntry) != 0)
        velmar::StoreQueueEntry(lock.region(), velmar::Queue::SysLog, entry);
      result = 1;
    }
  }
  // After the lock: a slow file holds up nobody else. A lock that stayed taken does not
  // keep the line from the file either.
  if (logFile != nullptr && *logFile != '\0')
    t_logFileError = velmar::AppendToLogFile(logFile, entry);
  return result;
}

int32_t GetSysLogFileError(void) { return t_logFileError; }

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
  velmar::RegionLock lock(Link());
  if (!lock) return 0;
  return velmar::StoreCommand(lock.region(), command) ? 1 : 0;
}

int16_t GetCommandEntry(char* buffer, uint32_t size) {
  return ReadLocked(buffer, size, [buffer](velmar::SharedRegion& region, uint16_t room) {
    return velmar::TakeCommand(region, buffer, room);
  });
}

int16_t GetCommandCount(void) {
  velmar::RegionLock lock(Link());
  return lock ? velmar::CountCommands(lock.region()) : -1;
}

int16_t PeekCommandEntries(char* buffer, uint32_t size) {
  const uint16_t room = LowBits(size);
  if (room == 0 || buffer == nullptr) return 0;
  velmar::RegionLock lock(Link());
  if (!lock) {
    buffer[0] = '\0';
    return -1;
  }
  return velmar::PeekCommands(lock.region(), buffer, room);
}

int32_t SetSysInfo(const char* text) {
  if (text == nullptr) return 0;
  velmar::RegionLock lock(Link());
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
  const velmar::RegionLink& link = Link();
  return link.region != nullptr ? velmar::LoadProcessCount(*link.region) : 0;
}

int32_t GetLastAttached(void) {
  if (Link().region == nullptr) return -1;
  pthread_mutex_lock(&g_joinGuard);
  const int32_t last = g_joined.load() ? velmar::LastJoined(g_link) : -1;
  pthread_mutex_unlock(&g_joinGuard);
  return last;
}

int32_t GetRunningApps(uint32_t mask) {
  const velmar::RegionLink& link = Link();
  return link.region != nullptr && velmar::AnyRunningApp(*link.region, mask) ? 1 : 0;
}

void SetRunningApps(uint32_t mask, int32_t running) {
  const velmar::RegionLink& link = Link();
  if (link.region != nullptr) velmar::ChangeRunningApps(*link.region, mask, running != 0);
}

int16_t SendPRN(const char* text, uint32_t port) {
  if (text == nullptr) return 0;
  return velmar::PrintOnPort(velmar::PrinterDirectory(), text, LowBits(port)) ? 1 : 0;
}
