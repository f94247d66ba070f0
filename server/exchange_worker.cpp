#include "exchange_worker.h"

#include <QMetaObject>

namespace vel {

ExchangeWorker& ExchangeWorker::Instance() {
  static ExchangeWorker worker;
  return worker;
}

ExchangeWorker::~ExchangeWorker() { Finish(); }

void ExchangeWorker::Run(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!finished_) {
      if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
      jobs_.push_back(std::move(job));
      wake_.notify_one();
      return;
    }
  }
  job();
}

void ExchangeWorker::Reply(QObject* context, std::function<void()> reply) {
  QMetaObject::invokeMethod(context, std::move(reply), Qt::QueuedConnection);
}

void ExchangeWorker::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return finishing_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // finishing, and nothing left
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    job();
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
