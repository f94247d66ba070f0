// Whether the alarm server takes the messages: velweb watches the command buffer.
//
// The buffer counts as moved when a command has been taken out of it since the last
// reading (the count fell below what it was plus what velweb stored meanwhile), and while
// it is empty. While commands wait and it has not moved for StallSeconds, the alarm
// server counts as not taking; what is handed over does not change either way.
//
// Nothing counts as an alarm server that has not been seen: one is seen once a command
// has been taken out of the buffer since velweb started, or while the buffer is empty
// and another program of the family is attached to the region. Until then the state is
// "no alarm server seen", never "taking".
//
// Two halves, one per thread:
// - ReadCommandBuffer runs on the exchange thread only (it calls the library, which may
//   wait for the region lock): after each hand-over, and for the regular look that the
//   event loop asks for. It gives a BufferReading, which travels to the event loop.
// - StallWatch lives on the event loop: it keeps the last reading, decides whether the
//   alarm server takes messages, and says when that begins and ends. It never calls the
//   library, so nothing on the event loop waits for the region lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vel {

struct BufferReading {
  bool libraryLoaded = false;
  bool regionJoined = false;
  bool known = false;         // the count was read (the lock was had in time)
  int waiting = 0;            // commands in the buffer, when known
  int processes = 0;          // programs attached to the region, velweb among them
  bool sawTake = false;       // a command was taken out since the reading before
  int64_t lastMovedMs = 0;    // NowMs when the buffer last moved
  bool lockTimedOut = false;  // a call of this reading found the lock held too long
};

// On the exchange thread. `stored`: commands velweb stored since the last reading (the
// hand-over just made). `callMs`: how long that hand-over waited: when it waited out a
// lock held too long, the count is not read (that would wait as long again).
BufferReading ReadCommandBuffer(int stored = 0, int64_t callMs = 0);

class StallWatch {
 public:
  // 0 turns the watch off: the alarm server always counts as taking.
  explicit StallWatch(int stallSeconds = 0) : stallMs_(int64_t{stallSeconds} * 1000) {}

  // A new reading, at `nowMs`: the line to log and show when the state changed.
  std::optional<std::string> Take(const BufferReading& reading, int64_t nowMs);

  const BufferReading& Last() const { return last_; }
  // Not stalled: no command has waited untaken for StallSeconds.
  bool Taking() const { return !stalled_; }
  // An alarm server has been seen (see above).
  bool Seen() const {
    return tookOne_ || (last_.known && last_.waiting == 0 && last_.processes > 1);
  }
  int Waiting() const { return last_.known ? last_.waiting : 0; }
  // Since the buffer last moved, in whole seconds (0 before the first reading).
  int64_t SecondsSinceMoved(int64_t nowMs) const;
  // The result page's note while the alarm server does not take: the empty text else.
  std::string WaitingNote(int64_t nowMs) const;

 private:
  int64_t stallMs_;
  BufferReading last_;
  bool stalled_ = false;
  bool tookOne_ = false;  // a command has been seen taken out
  int64_t stalledSinceMovedMs_ = 0;
};

}  // namespace vel
