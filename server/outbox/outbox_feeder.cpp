#include "outbox_feeder.h"

#include "clock.h"
#include "event_log.h"
#include "exchange_worker.h"
#include "velmar_library.h"

namespace vel {

namespace {

void Feed(Outbox& outbox, bool pass) {
  VelmarLibrary& library = VelmarLibrary::Instance();
  const CommandBufferAccess buffer{[&library] { return library.PeekCommandEntries(); },
                                   [&library](const std::string& entry) {
                                     const std::optional<int32_t> stored =
                                         library.SetCommandEntry(entry);
                                     return stored && *stored == 1;
                                   }};
  for (const std::string& line : outbox.Feed(buffer, WallMs(), pass)) WriteLogFromExchange(line);
}

}  // namespace

OutboxFeeder::OutboxFeeder(std::shared_ptr<Outbox> outbox) : outbox_(std::move(outbox)) {
  timer_.setInterval(kFeedEveryMs);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    if (outbox_->HasWork()) AskFeed();
  });
}

void OutboxFeeder::Start() {
  outbox_->SetHooks([this] { AskFeed(); },
                    [](const std::string& line) {
                      // In the log, and on the console: an admin must hear of it.
                      ExchangeWorker::Instance().Run([line] {
                        WriteLogFromExchange(line);
                        WarnFromExchange(line);
                      });
                    });
  timer_.start();
  AskFeed();  // what the outbox held at the start: passed again, or seen taken
}

void OutboxFeeder::AskFeed() {
  if (asked_->exchange(true)) return;
  ExchangeWorker::Instance().Run([outbox = outbox_, asked = asked_] {
    asked->store(false);
    Feed(*outbox, /*pass=*/true);
  });
}

void OutboxFeeder::LastLook() {
  outbox_->StopPassing();
  Feed(*outbox_, /*pass=*/false);
}

std::vector<std::string> OutboxFeeder::TakeBack(const std::vector<std::string>& takenOut) {
  return outbox_->TakeBack(takenOut);
}

}  // namespace vel
