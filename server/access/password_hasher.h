// The hashing of presented passwords, on a thread of its own and under one budget for
// the whole server. A crypt(3) hash is slow on purpose (60 to 130 ms for yescrypt on a
// small machine); hashed on the event loop, a flood of wrong passwords would keep every
// other client waiting.
//
// Promises:
// - At most kBudget passwords are with the hasher at a time, waiting or being hashed.
//   Check refuses any more at once, without hashing: the caller answers them "busy".
// - `done` runs on the thread of `context` (the event loop), once for each accepted
//   Check, in the order of the checks, unless the context is gone by then. The context
//   must outlive the hasher.
// - The destructor waits for the password being hashed, drops the waiting ones and
//   ends the thread.
#pragma once

#include <QObject>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace vel {

class PasswordHasher {
 public:
  // Four at about 100 ms each: a right password that must wait behind wrong ones is
  // known within half a second.
  static constexpr int kBudget = 4;

  PasswordHasher(std::string hash, QObject* context);
  ~PasswordHasher();
  PasswordHasher(const PasswordHasher&) = delete;
  PasswordHasher& operator=(const PasswordHasher&) = delete;

  // Hashes `password` against the hash; false, with nothing queued, when the budget is
  // spent.
  bool Check(std::string password, std::function<void(bool matched)> done);
  // The same against `hash` (a user's own).
  bool Check(std::string hash, std::string password, std::function<void(bool matched)> done);

 private:
  struct Job {
    std::string hash;
    std::string password;
    std::function<void(bool)> done;
  };
  void Loop();

  const std::string hash_;
  QObject* context_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  int underWay_ = 0;  // accepted and not yet hashed
  bool ending_ = false;
  std::thread thread_;
};

}  // namespace vel
