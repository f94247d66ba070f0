#include "exchange_worker.h"

#include <QMetaObject>

namespace vel {

namespace {

// The worker of the core that lives now; nullptr outside any.
std::atomic<ExchangeWorker*> g_current{nullptr};

}  // namespace

ExchangeWorker& ExchangeWorker::Instance() {
  if (ExchangeWorker* current = g_current.load()) return *current;
  static ExchangeWorker processWorker;
  return processWorker;
}

ExchangeScope::ExchangeScope()
    : worker_(std::make_unique<ExchangeWorker>()), previous_(g_current.exchange(worker_.get())) {}

ExchangeScope::~ExchangeScope() {
  worker_->Finish();
  g_current.store(previous_);
}

ExchangeWorker::~ExchangeWorker() { Finish(); }

bool ExchangeWorker::Queue(Job& job, bool first) {
  if (finished_) return false;
  if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
  if (first) {
    jobs_.push_front(std::move(job));
  } else {
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
  return true;
}

void ExchangeWorker::Run(std::function<void()> job) {
  Job queued{std::move(job), nullptr};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Queue(queued, false)) return;
  }
  queued.work();
}

void ExchangeWorker::RunFirst(std::function<void()> job) {
  Job queued{std::move(job), nullptr};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Queue(queued, true)) return;
  }
  queued.work();
}

std::shared_ptr<ExchangeTicket> ExchangeWorker::RunHandOver(std::function<void()> job) {
  auto ticket = std::make_shared<ExchangeTicket>();
  Job queued{std::move(job), ticket};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (waitingHandOvers_ >= kMaxWaitingHandOvers) return nullptr;
    if (Queue(queued, false)) {
      ++waitingHandOvers_;
      return ticket;
    }
  }
  ticket->state_ = ExchangeTicket::kStarted;
  queued.work();
  return ticket;
}

bool ExchangeWorker::CallOff(ExchangeTicket& ticket) {
  std::lock_guard<std::mutex> lock(mutex_);
  int waiting = ExchangeTicket::kWaiting;
  if (!ticket.state_.compare_exchange_strong(waiting, ExchangeTicket::kCalledOff)) return false;
  --waitingHandOvers_;
  return true;
}

void ExchangeWorker::Reply(QObject* context, std::function<void()> reply) {
  QMetaObject::invokeMethod(context, std::move(reply), Qt::QueuedConnection);
}

void ExchangeWorker::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return finishing_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // finishing, and nothing left
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    if (job.ticket) {
      int waiting = ExchangeTicket::kWaiting;
      if (!job.ticket->state_.compare_exchange_strong(waiting, ExchangeTicket::kStarted)) {
        continue;  // called off
      }
      --waitingHandOvers_;
    }
    lock.unlock();
    job.work();
    job = {};  // what it holds goes on this thread, before the next job
    lock.lock();
  }
}

void ExchangeWorker::Finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finished_) return;
    finishing_ = true;
    finished_ = true;
    wake_.notify_one();
  }
  if (thread_.joinable()) thread_.join();
}

}  // namespace vel
