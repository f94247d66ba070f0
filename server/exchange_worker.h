// The calls into libVelmar.so, made on a thread of their own. A call may wait up to two
// seconds for the region lock when another program of the family holds it and does not
// let go; the event loop goes on serving meanwhile. Calls are made one at a time, in the
// order in which they were asked for, so log lines keep their order around the
// hand-overs they describe. Results come back through the event loop.
#pragma once

#include <QObject>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace vel {

class ExchangeWorker {
 public:
  static ExchangeWorker& Instance();
  ~ExchangeWorker();
  ExchangeWorker(const ExchangeWorker&) = delete;
  ExchangeWorker& operator=(const ExchangeWorker&) = delete;

  // Runs `job` on the exchange thread, after everything asked for before it.
  void Run(std::function<void()> job);

  // From a job: runs `reply` on the event loop's thread, unless `context` is gone by
  // then or the loop has ended.
  static void Reply(QObject* context, std::function<void()> reply);

  // Does what is still queued, then ends the thread. Later jobs run at once on the
  // caller's thread.
  void Finish();

 private:
  ExchangeWorker() = default;
  void Loop();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  std::thread thread_;
  bool finishing_ = false;
  bool finished_ = false;
};

}  // namespace vel
