#include "password_hasher.h"

#include <QMetaObject>

#include "password_hash.h"

namespace vel {

PasswordHasher::PasswordHasher(std::string hash, QObject* context)
    : hash_(std::move(hash)), context_(context), thread_([this] { Loop(); }) {}

PasswordHasher::~PasswordHasher() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
    jobs_.clear();
  }
  wake_.notify_one();
  thread_.join();
}

bool PasswordHasher::Check(std::string password, std::function<void(bool matched)> done) {
  return Check(hash_, std::move(password), std::move(done));
}

bool PasswordHasher::Check(std::string hash, std::string password,
                           std::function<void(bool matched)> done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ending_ || underWay_ >= kBudget) return false;
    ++underWay_;
    jobs_.push_back({std::move(hash), std::move(password), std::move(done)});
  }
  wake_.notify_one();
  return true;
}

void PasswordHasher::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return ending_ || !jobs_.empty(); });
    if (ending_) return;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    const bool matched = PasswordMatches(job.hash, job.password);
    // Posted before the destructor can return (it joins this thread); a reply still
    // pending when the context goes is dropped with it.
    QMetaObject::invokeMethod(
        context_, [done = std::move(job.done), matched] { done(matched); }, Qt::QueuedConnection);
    lock.lock();
    --underWay_;
  }
}

}  // namespace vel
