// How a process meets the others: the shared region "/VelShareView" and the lock
// "/VelStructMutEx" as POSIX shared-memory objects.
//
// - The region object holds the 58382 bytes of SharedRegion.
// - Both objects have mode 0666 (every local account may join), or, when a group named
//   "velmar" exists on the machine, mode 0660 and that group. The umask never narrows
//   the mode.
// - The lock object holds a robust, process-shared pthread mutex: it excludes threads
//   of one process and of different processes, and when its holder dies the next
//   waiter takes it over and goes on.
// - Every joined process holds a shared flock on the region object. A joiner that can
//   take it exclusively is alone, whatever processes that crashed left behind, and
//   starts from zeros with a fresh lock. The last process to leave unlinks both objects.
// - Join and leave are serialised by an exclusive flock on the lock object.
// - No wait is unbounded: the region lock, and the join and leave gate, are waited for
//   at most kLockWaitMs, so a holder that is stopped or stuck cannot hang anybody.
// - When VELMAR_INSTANCE holds a word, both names get "." and that word appended.
#ifndef VELMAR_REGION_LINK_H
#define VELMAR_REGION_LINK_H

#include <pthread.h>
#include <sys/types.h>

#include <string>

#include "shared_region.h"

namespace velmar {

constexpr char kRegionName[] = "/VelShareView";
constexpr char kLockName[] = "/VelStructMutEx";
// The group that, when it exists, the region is closed to.
constexpr char kRegionGroup[] = "velmar";
// The longest wait for the region lock or the join gate.
constexpr int kLockWaitMs = 2000;

// One process's hold on the region. Plain data, so that it can live in a static of the
// library without a destructor of its own.
struct RegionLink {
  SharedRegion* region = nullptr;
  pthread_mutex_t* mutex = nullptr;
  int regionFd = -1;
  int lockFd = -1;
  pid_t owner = 0;  // the process that joined; a forked child does not leave for it
  int attachCount = 0;
  char regionName[256] = {};
  char lockName[256] = {};
};

// Builds the object name for base ("/VelShareView" or "/VelStructMutEx") under the
// current VELMAR_INSTANCE. False when the result would not fit.
bool ObjectName(const char* base, char* name, unsigned size);

// Creates or joins the region and its lock and counts this process in. True when
// joined (also when already joined, which only counts the attach). False, with nothing
// held, when the objects cannot be opened or do not fit, or when the join gate stays
// taken for kLockWaitMs.
bool JoinRegion(RegionLink& link);

// Counts this process out; the last process to leave removes both objects. When the
// gate stays taken for kLockWaitMs, the process leaves as a crashed one would: its
// hold goes, and the objects stay for the next joiner to find and start afresh.
void LeaveRegion(RegionLink& link);

// Whether this process is the last one joined, so that its leaving removes the region
// and whatever waits in it: the test LeaveRegion makes, taken under the join gate.
// 1 when it is, 0 when other processes hold the region, -1 when it cannot tell (not
// joined, or the gate stayed taken for kLockWaitMs). Processes that crashed do not count.
int LastJoined(RegionLink& link);

// Holds the region lock for its lifetime. A lock abandoned by a dead holder is taken
// over. Converts to false when the lock could not be taken (not joined, the holder did
// not let go within kLockWaitMs, or the lock is unusable); the region must not be
// touched then.
class RegionLock {
 public:
  explicit RegionLock(const RegionLink& link);
  ~RegionLock();
  RegionLock(const RegionLock&) = delete;
  RegionLock& operator=(const RegionLock&) = delete;

  explicit operator bool() const { return region_ != nullptr; }
  SharedRegion& region() const { return *region_; }

 private:
  pthread_mutex_t* mutex_ = nullptr;
  SharedRegion* region_ = nullptr;
};

// A copy of the region taken under its lock, without joining (for status displays and
// tests). False when no region of the current instance exists, or its lock stays taken
// for kLockWaitMs.
bool PeekRegion(SharedRegion& copy);

// Who may open the current instance's region, read from its object: "open to every
// local account", or "group NAME" for the group it is closed to. False when there is no
// region object (or it cannot be looked at).
bool DescribeRegionAccess(std::string& text);

}  // namespace velmar

#endif  // VELMAR_REGION_LINK_H
