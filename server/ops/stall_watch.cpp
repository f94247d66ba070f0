#include "stall_watch.h"

#include "clock.h"
#include "velmar_library.h"

namespace vel {

namespace {

// A library call that took this long waited for a lock that its holder did not let go.
constexpr int64_t kLockTimeoutMs = 1500;

// Exchange thread only.
struct BufferState {
  bool read = false;
  int count = 0;
  int64_t lastMovedMs = 0;
};
BufferState g_buffer;

}  // namespace

BufferReading ReadCommandBuffer(int stored, int64_t callMs) {
  BufferReading reading;
  VelmarLibrary& library = VelmarLibrary::Instance();
  std::string why;
  reading.libraryLoaded = library.Load(why);
  const int64_t start = NowMs();
  if (!g_buffer.read) g_buffer.lastMovedMs = start;
  g_buffer.count += stored;
  // A hand-over that waited out the lock: another wait now would only keep the next
  // job of the exchange thread waiting too.
  reading.lockTimedOut = callMs >= kLockTimeoutMs;
  if (reading.libraryLoaded && !reading.lockTimedOut) {
    const std::optional<int32_t> processes = library.GetProcesses();
    reading.regionJoined = processes && *processes > 0;
    reading.processes = processes ? *processes : 0;
    const std::optional<int32_t> count = library.GetCommandCount();
    const int64_t end = NowMs();
    // The library gives -1 when its lock stayed taken: that is no reading, and neither is
    // one that waited as long for it (a GetProcesses that waited out the lock).
    reading.lockTimedOut = (count && *count < 0) || end - start >= kLockTimeoutMs;
    if (count && reading.regionJoined && !reading.lockTimedOut) {
      if (*count == 0 || *count < g_buffer.count) g_buffer.lastMovedMs = end;
      reading.sawTake = *count < g_buffer.count;
      g_buffer.count = *count;
      g_buffer.read = true;
      reading.known = true;
      reading.waiting = *count;
    }
  }
  reading.lastMovedMs = g_buffer.lastMovedMs;
  return reading;
}

std::optional<std::string> StallWatch::Take(const BufferReading& reading, int64_t nowMs) {
  if (reading.known) {
    last_ = reading;
    tookOne_ = tookOne_ || reading.sawTake;
  } else {
    // The count could not be read this time: what was known of it stands.
    last_.libraryLoaded = reading.libraryLoaded;
    last_.regionJoined = reading.regionJoined;
    last_.lockTimedOut = reading.lockTimedOut;
  }
  const int64_t stillMs = nowMs - last_.lastMovedMs;
  const bool stalled = stallMs_ > 0 && last_.known && last_.waiting > 0 && stillMs >= stallMs_;
  if (stalled == stalled_) return std::nullopt;
  stalled_ = stalled;
  const std::string wait = "; " + std::to_string(Waiting()) + " wait";
  if (stalled) {
    stalledSinceMovedMs_ = last_.lastMovedMs;
    return "The alarm server has taken no message for " + std::to_string(stillMs / 1000) + " s" +
           wait;
  }
  const int64_t stalledMs = last_.lastMovedMs - stalledSinceMovedMs_;
  return "The alarm server takes messages again after " + std::to_string(stalledMs / 1000) + " s" +
         wait;
}

int64_t StallWatch::SecondsSinceMoved(int64_t nowMs) const {
  if (last_.lastMovedMs == 0) return 0;
  return (nowMs - last_.lastMovedMs) / 1000;
}

std::string StallWatch::WaitingNote(int64_t nowMs) const {
  if (!stalled_) return {};
  return "The alarm server has taken no message for " + std::to_string(SecondsSinceMoved(nowMs)) +
         " s: your message waits in its buffer (" + std::to_string(Waiting()) +
         " wait) and goes on to the receivers once it takes messages again.";
}

}  // namespace vel
