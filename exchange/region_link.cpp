#include "region_link.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "region_ops.h"

namespace velmar {
namespace {

constexpr mode_t kEveryone = 0666;
constexpr mode_t kGroupOnly = 0660;
constexpr std::size_t kGroupBufferMax = 1 << 20;

timespec DeadlineIn(int ms) {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += ms / 1000;
  t.tv_nsec += (ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    ++t.tv_sec;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

bool Passed(const timespec& deadline) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec > deadline.tv_sec ||
         (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

int Flock(int fd, int operation) {
  int rc;
  do {
    rc = flock(fd, operation);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// An flock that is waited for until deadline at most: its holder may be a process that
// was stopped in the middle of joining or leaving.
bool FlockBefore(int fd, int operation, const timespec& deadline) {
  for (;;) {
    if (Flock(fd, operation | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK || Passed(deadline)) return false;
    const timespec pause{0, 1000000L};
    nanosleep(&pause, nullptr);
  }
}

// Looks a group up through getgrnam_r or getgrgid_r (lookup), growing the buffer as
// long as it asks for more.
template <class Lookup>
bool FindGroup(Lookup lookup, gid_t& gid, std::string* name) {
  std::vector<char> buffer(1024);
  for (;;) {
    group entry{};
    group* found = nullptr;
    const int rc = lookup(&entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < kGroupBufferMax) {
      buffer.resize(buffer.size() * 4);
      continue;
    }
    if (rc != 0 || found == nullptr) return false;
    gid = entry.gr_gid;
    if (name != nullptr) *name = entry.gr_name;
    return true;
  }
}

// Who may open the objects: every local account, or, when the group exists, its members.
struct Access {
  mode_t mode = kEveryone;
  bool closed = false;
  gid_t group = 0;
};

Access WantedAccess() {
  Access access;
  const auto byName = [](group* entry, char* buffer, std::size_t size, group** found) {
    return getgrnam_r(kRegionGroup, entry, buffer, size, found);
  };
  if (FindGroup(byName, access.group, nullptr)) {
    access.mode = kGroupOnly;
    access.closed = true;
  }
  return access;
}

// Gives an object the wanted access; the umask must not narrow it. Only the owner (or
// root) can change it. When the group cannot be given (neither root nor a member), the
// mode alone keeps strangers out.
void Apply(int fd, const Access& access) {
  if (access.closed) {
    [[maybe_unused]] const int given = fchown(fd, static_cast<uid_t>(-1), access.group);
  }
  fchmod(fd, access.mode);
}

bool SameObject(int fd, const char* name) {
  const int current = shm_open(name, O_RDWR | O_CLOEXEC, 0);
  if (current < 0) return false;
  struct stat a, b;
  const bool same =
      fstat(fd, &a) == 0 && fstat(current, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  close(current);
  return same;
}

// Opens the lock object and takes the join gate on it. The object may have been unlinked
// by a last leaver while we waited; then we start again with the new one.
int OpenGate(const char* name, const Access& access, const timespec& deadline) {
  for (;;) {
    const int fd = shm_open(name, O_RDWR | O_CREAT | O_CLOEXEC, access.mode);
    if (fd < 0) return -1;
    Apply(fd, access);
    if (FlockBefore(fd, LOCK_EX, deadline) && SameObject(fd, name)) return fd;
    close(fd);
    if (Passed(deadline)) return -1;
  }
}

bool InitMutex(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  const bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
                  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
                  pthread_mutex_init(mutex, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  return ok;
}

void* MapShared(int fd, std::size_t size, int protection) {
  void* p = mmap(nullptr, size, protection, MAP_SHARED, fd, 0);
  return p == MAP_FAILED ? nullptr : p;
}

bool HasSize(int fd, std::size_t size) {
  struct stat info;
  return fstat(fd, &info) == 0 && static_cast<std::size_t>(info.st_size) == size;
}

// Set when a wait for the lock has run out, cleared when the lock is had again. A holder
// that does not let go costs one call the whole wait; the calls after it wait only
// briefly, so that a caller with several calls to make (a log line, a command, another
// log line) is not held up for each of them in turn. Nothing slow happens under the lock,
// so a holder that keeps it longer than the brief wait is stuck.
std::atomic<bool> g_holderStuck{false};
constexpr int kStuckWaitMs = 100;

// Takes the lock, taking over one whose holder died; gives up when the holder does not
// let go within kLockWaitMs. A free lock is taken without reading the clock, which costs
// more than a short call's own work; the deadline is computed only when someone else
// holds the lock.
bool Lock(pthread_mutex_t* mutex) {
  int rc = pthread_mutex_trylock(mutex);
  if (rc == EBUSY) {
    const bool stuck = g_holderStuck.load(std::memory_order_relaxed);
    const timespec deadline = DeadlineIn(stuck ? kStuckWaitMs : kLockWaitMs);
    rc = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
  }
  if (rc == EOWNERDEAD) rc = pthread_mutex_consistent(mutex);
  if (rc == ETIMEDOUT) g_holderStuck.store(true, std::memory_order_relaxed);
  if (rc != 0) return false;
  if (g_holderStuck.load(std::memory_order_relaxed))
    g_holderStuck.store(false, std::memory_order_relaxed);
  return true;
}

void Forget(RegionLink& link) {
  if (link.region != nullptr) munmap(link.region, kRegionSize);
  if (link.mutex != nullptr) munmap(link.mutex, sizeof(pthread_mutex_t));
  if (link.regionFd >= 0) close(link.regionFd);
  if (link.lockFd >= 0) close(link.lockFd);
  link.region = nullptr;
  link.mutex = nullptr;
  link.regionFd = -1;
  link.lockFd = -1;
  link.attachCount = 0;
}

}  // namespace

bool ObjectName(const char* base, char* name, unsigned size) {
  const char* instance = std::getenv("VELMAR_INSTANCE");
  int n;
  if (instance != nullptr && *instance != '\0')
    n = std::snprintf(name, size, "%s.%s", base, instance);
  else
    n = std::snprintf(name, size, "%s", base);
  return n > 0 && static_cast<unsigned>(n) < size;
}

bool JoinRegion(RegionLink& link) {
  if (link.region != nullptr) {
    ++link.attachCount;
    return true;
  }
  if (!ObjectName(kRegionName, link.regionName, sizeof link.regionName) ||
      !ObjectName(kLockName, link.lockName, sizeof link.lockName))
    return false;

  const Access access = WantedAccess();
  link.lockFd = OpenGate(link.lockName, access, DeadlineIn(kLockWaitMs));
  if (link.lockFd < 0) return false;
  link.regionFd = shm_open(link.regionName, O_RDWR | O_CREAT | O_CLOEXEC, access.mode);
  if (link.regionFd < 0) {
    Forget(link);
    return false;
  }
  Apply(link.regionFd, access);

  // Nobody alive holds the region: whatever is there (nothing, or what crashed processes
  // left) is gone, and this process starts from zeros with a fresh lock.
  const bool alone = Flock(link.regionFd, LOCK_EX | LOCK_NB) == 0;
  bool ok;
  if (alone) {
    ok = ftruncate(link.regionFd, 0) == 0 && ftruncate(link.regionFd, kRegionSize) == 0 &&
         ftruncate(link.lockFd, 0) == 0 && ftruncate(link.lockFd, sizeof(pthread_mutex_t)) == 0;
  } else {
    ok = HasSize(link.regionFd, kRegionSize) && HasSize(link.lockFd, sizeof(pthread_mutex_t));
  }
  if (ok) {
    link.region =
        static_cast<SharedRegion*>(MapShared(link.regionFd, kRegionSize, PROT_READ | PROT_WRITE));
    link.mutex = static_cast<pthread_mutex_t*>(
        MapShared(link.lockFd, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE));
    ok = link.region != nullptr && link.mutex != nullptr;
  }
  if (ok && alone) ok = InitMutex(link.mutex);
  // Under the gate nobody else takes the region flock exclusively, so this never waits.
  if (ok) ok = Flock(link.regionFd, LOCK_SH | LOCK_NB) == 0;
  if (!ok) {
    if (alone) {
      shm_unlink(link.regionName);
      shm_unlink(link.lockName);
    }
    Forget(link);
    return false;
  }

  IncrementProcessCount(*link.region);
  Flock(link.lockFd, LOCK_UN);
  link.owner = getpid();
  link.attachCount = 1;
  return true;
}

void LeaveRegion(RegionLink& link) {
  if (link.region == nullptr) return;
  // A forked child shares its parent's flocks; leaving here would release them.
  if (link.owner != getpid()) return;
  if (link.attachCount > 0) --link.attachCount;
  DecrementProcessCount(*link.region);
  if (link.attachCount > 0) return;

  // Without the gate we cannot know whether we are the last: leave as a crashed process
  // would, and the next joiner, finding itself alone, starts afresh.
  if (FlockBefore(link.lockFd, LOCK_EX, DeadlineIn(kLockWaitMs))) {
    Flock(link.regionFd, LOCK_UN);
    if (Flock(link.regionFd, LOCK_EX | LOCK_NB) == 0) {
      shm_unlink(link.regionName);
      shm_unlink(link.lockName);
    }
  }
  // Closing the descriptors drops the region flock, then the gate.
  Forget(link);
}

int LastJoined(RegionLink& link) {
  if (link.region == nullptr || link.owner != getpid()) return -1;
  if (!FlockBefore(link.lockFd, LOCK_EX, DeadlineIn(kLockWaitMs))) return -1;
  // Under the gate the only flocks on the region are the shared holds of the joined. Ours
  // is converted to an exclusive one, which only the last can have; a refused conversion
  // drops it, and it is taken again at once (nobody can hold it exclusively meanwhile).
  const bool last = Flock(link.regionFd, LOCK_EX | LOCK_NB) == 0;
  const bool held = Flock(link.regionFd, LOCK_SH | LOCK_NB) == 0;
  Flock(link.lockFd, LOCK_UN);
  if (!held) return -1;
  return last ? 1 : 0;
}

RegionLock::RegionLock(const RegionLink& link) {
  if (link.region == nullptr || link.mutex == nullptr) return;
  if (!Lock(link.mutex)) return;
  mutex_ = link.mutex;
  region_ = link.region;
}

RegionLock::~RegionLock() {
  if (mutex_ != nullptr) pthread_mutex_unlock(mutex_);
}

bool PeekRegion(SharedRegion& copy) {
  char regionName[256], lockName[256];
  if (!ObjectName(kRegionName, regionName, sizeof regionName) ||
      !ObjectName(kLockName, lockName, sizeof lockName))
    return false;
  const int regionFd = shm_open(regionName, O_RDONLY | O_CLOEXEC, 0);
  if (regionFd < 0) return false;
  const int lockFd = shm_open(lockName, O_RDWR | O_CLOEXEC, 0);
  bool ok =
      lockFd >= 0 && HasSize(regionFd, kRegionSize) && HasSize(lockFd, sizeof(pthread_mutex_t));
  void* region = ok ? MapShared(regionFd, kRegionSize, PROT_READ) : nullptr;
  auto* mutex = static_cast<pthread_mutex_t*>(
      ok ? MapShared(lockFd, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE) : nullptr);
  ok = region != nullptr && mutex != nullptr && Lock(mutex);
  if (ok) {
    std::memcpy(&copy, region, kRegionSize);
    pthread_mutex_unlock(mutex);
  }
  if (region != nullptr) munmap(region, kRegionSize);
  if (mutex != nullptr) munmap(mutex, sizeof(pthread_mutex_t));
  if (lockFd >= 0) close(lockFd);
  close(regionFd);
  return ok;
}

bool DescribeRegionAccess(std::string& text) {
  char name[256];
  if (!ObjectName(kRegionName, name, sizeof name)) return false;
  const int fd = shm_open(name, O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  struct stat info;
  const bool ok = fstat(fd, &info) == 0;
  close(fd);
  if (!ok) return false;
  if ((info.st_mode & kEveryone) == kEveryone) {
    text = "open to every local account";
    return true;
  }
  gid_t gid = info.st_gid;
  std::string group;
  const auto byId = [gid](struct group* entry, char* buffer, std::size_t size,
                          struct group** found) {
    return getgrgid_r(gid, entry, buffer, size, found);
  };
  if (!FindGroup(byId, gid, &group)) group = std::to_string(info.st_gid);
  text = "group " + group;
  return true;
}

}  // namespace velmar
