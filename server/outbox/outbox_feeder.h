// The outbox's way into the command buffer: feeds on the exchange thread (every call
// into libVelmar.so is made there), asked for once messages become queued and, while the
// outbox holds messages, every kFeedEveryMs (to pass what waits as the alarm server
// makes room, and to see what it took). Asked-for feeds that meet one already waiting
// are one feed. Made and used on the event loop's thread.
#pragma once

#include <QObject>
#include <QTimer>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "outbox.h"

namespace vel {

class OutboxFeeder {
 public:
  static constexpr int kFeedEveryMs = 20;

  explicit OutboxFeeder(std::shared_ptr<Outbox> outbox);
  // The outbox's writer ends with it (feeds still queued keep the outbox itself).
  ~OutboxFeeder() { outbox_->Close(); }
  OutboxFeeder(const OutboxFeeder&) = delete;
  OutboxFeeder& operator=(const OutboxFeeder&) = delete;

  // Once the server listens.
  void Start();
  // From any thread.
  void AskFeed();
  // At a stop: no more feeds of the timer's.
  void Stop() { timer_.stop(); }
  // On the exchange thread, at a stop: a last look at what was taken, then what the stop
  // takes out of a region that goes with this process, less the outbox's own passed
  // messages (see Outbox::TakeBack).
  void LastLook();
  std::vector<std::string> TakeBack(const std::vector<std::string>& takenOut);

  Outbox& Box() { return *outbox_; }

 private:
  std::shared_ptr<Outbox> outbox_;
  std::shared_ptr<std::atomic<bool>> asked_ = std::make_shared<std::atomic<bool>>(false);
  QTimer timer_;
};

}  // namespace vel
