// The calls into libVelmar.so, made on a thread of their own. A call may wait up to two
// seconds for the region lock when another program of the family holds it and does not
// let go; the event loop goes on serving meanwhile. Calls are made one at a time, in the
// order in which they were asked for (but for RunFirst, which goes ahead of everything
// that waits: the stop's keeping of the waiting messages, before queued log lines), so
// log lines keep their order around the hand-overs they describe. Results come back
// through the event loop.
//
// Hand-overs of posted messages wait in a bounded line: beyond kMaxWaitingHandOvers
// the caller is told at once, and a hand-over that has not started yet can be called
// off (its client waited too long, or left, or the server stops).
//
// Each server core owns its worker (an ExchangeScope, its first member): while the core
// lives, Instance() is that worker, and the core finishes it when it goes. Outside any
// core (a test of one room, say) Instance() is a worker of the process's own. So every
// core, in a test binary too, runs its library calls on a thread of their own.
#pragma once

#include <QObject>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace vel {

// A hand-over's place in the line.
class ExchangeTicket {
 private:
  friend class ExchangeWorker;
  enum State { kWaiting, kStarted, kCalledOff };
  std::atomic<int> state_{kWaiting};
};

class ExchangeWorker {
 public:
  static constexpr int kMaxWaitingHandOvers = 128;

  ExchangeWorker() = default;
  // The worker of the core that lives now, else the process's own.
  static ExchangeWorker& Instance();
  ~ExchangeWorker();
  ExchangeWorker(const ExchangeWorker&) = delete;
  ExchangeWorker& operator=(const ExchangeWorker&) = delete;

  // Runs `job` on the exchange thread, after everything asked for before it.
  void Run(std::function<void()> job);
  // Runs `job` on the exchange thread before everything that waits (after the job under
  // way, if any).
  void RunFirst(std::function<void()> job);
  // Runs a hand-over as Run does, unless kMaxWaitingHandOvers wait already: nullptr then,
  // and nothing is run.
  std::shared_ptr<ExchangeTicket> RunHandOver(std::function<void()> job);
  // True when the hand-over had not started: it never will. False once it has started.
  bool CallOff(ExchangeTicket& ticket);

  // From a job: runs `reply` on the event loop's thread, unless `context` is gone by
  // then or the loop has ended.
  static void Reply(QObject* context, std::function<void()> reply);

  // Does what is still queued, then ends the thread. Later jobs run at once on the
  // caller's thread.
  void Finish();

 private:
  struct Job {
    std::function<void()> work;
    std::shared_ptr<ExchangeTicket> ticket;  // hand-overs only
  };
  void Loop();
  // Queues `job` at the back or the front; false when the thread has finished.
  bool Queue(Job& job, bool first);

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  int waitingHandOvers_ = 0;
  std::thread thread_;
  bool finishing_ = false;
  bool finished_ = false;
};

// A worker of its own for as long as the scope lives, made the one Instance() gives;
// at its end, what is queued runs, the thread ends and the worker before it is current
// again. Made and ended on the event loop's thread.
class ExchangeScope {
 public:
  ExchangeScope();
  ~ExchangeScope();
  ExchangeScope(const ExchangeScope&) = delete;
  ExchangeScope& operator=(const ExchangeScope&) = delete;

  ExchangeWorker& Worker() { return *worker_; }

 private:
  std::unique_ptr<ExchangeWorker> worker_;
  ExchangeWorker* previous_;
};

}  // namespace vel
