// The receiver list: the receiver file "vel_rcv.dat" of the program directory, read into
// the sorted names that the pages and the main window show, and read again whenever the
// file changes (Timer_ReLoad, every 2 seconds).
//
// - Load() reads the file now (stage 2 of the start), and from then on the timer looks at
//   it. A missing file is made empty. A file that cannot be read (no regular file, no
//   permission) leaves the list as it was, and that is logged and shown once, until it
//   can be read again. A file of another version is logged and gives no names.
// - After every load: Names() holds the names in the order of the hidden sorted list,
//   Generation() has grown by one (rendered pages depend on it), and the front end has
//   been told (ReceiversChanged), with SetBusy around the reading.
// - The timer loads the file again when its size or modification time differ from the
//   last ones seen, and logs "Velmar Web Server reloaded N receivers". A file that is away
//   for the moment (being rewritten) is looked at on the next tick.
//
// Everything runs on the Qt event-loop thread.
#pragma once

#include <QTimer>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "receiver_file.h"

namespace vel {

class ReceiverList {
 public:
  static constexpr const char* kFileName = "vel_rcv.dat";

  ReceiverList();
  ReceiverList(const ReceiverList&) = delete;
  ReceiverList& operator=(const ReceiverList&) = delete;

  // Who is told of the reading (the front end, through the core): busy while the file
  // is read, a warning when it cannot be, the sorted names after each load.
  struct Watcher {
    std::function<void(bool)> busy;
    std::function<void(const std::string&)> warn;
    std::function<void(const std::vector<std::string>&)> changed;
  };
  void SetWatcher(Watcher watcher) { watcher_ = std::move(watcher); }
  // Reads the file now, and starts looking at it for changes; the number of receivers.
  int16_t Load();

  const std::vector<std::string>& Names() const { return names_; }
  uint64_t Generation() const { return generation_; }

 private:
  // What tells one state of the file from another.
  struct Stamp {
    int64_t size = 0;
    std::time_t time = 0;
    bool operator==(const Stamp&) const = default;
  };
  static std::optional<Stamp> StampOf(const std::string& path);

  // Reads the file into the names; the number of receivers.
  int16_t ShowReceivers();
  // The records of the file, or those of the last load when it cannot be read.
  int16_t LoadReceivers();
  void Timer_ReLoad_Timer();

  Watcher watcher_;
  QTimer Timer_ReLoad;
  std::vector<ReceiverRecord> records_;
  int16_t count_ = 0;
  std::vector<std::string> names_;
  uint64_t generation_ = 0;
  std::optional<Stamp> stamp_;  // of the file at its last load, when it was there
  bool rejected_ = false;       // its last load found it unreadable, and said so
};

}  // namespace vel
