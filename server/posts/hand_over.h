// A posted message's way to the alarm server, and its answer.
//
// Submit reads the message out of the request (the form, JSON, plain text, or a
// monitoring system's notification), refuses what must go no further (a body in chunks,
// a post a browser made for another site, a sender past its send limit, a bad message),
// and hands the command entry to the exchange thread (exchange_worker.h). Every line a
// client can cause as often as it likes is coalesced (AccessPolicy::OnceAMinute); a
// message handed over keeps its own line.
// The connection waits in kHandingOver meanwhile, while other clients are served; the
// job's reply finds it by its ConnectionId and answers it with what became of the
// message (SubmitOutcome): the page with the receivers, or JSON. A reply for a
// connection that is gone is dropped.
//
// The line of hand-overs is bounded (ExchangeWorker::kMaxWaitingHandOvers): a post that
// finds it full is refused at once; one that waits longer than kHandOverWaitMs, or whose
// client left before its turn, is called off (CallOff). Either is answered 503
// "[Not Sent]", and nothing of it is handed over later. Such refusals are logged in one
// line while the exchange is busy.
#pragma once

#include <sys/stat.h>

#include <QObject>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "access_policy.h"
#include "answers.h"
#include "connection_table.h"
#include "monitor.h"
#include "outbox.h"
#include "receiver_list.h"
#include "request.h"
#include "submission.h"

namespace vel {

class HandOver {
 public:
  // How long a posted message waits for its turn at the exchange.
  static constexpr int64_t kHandOverWaitMs = 3000;

  // `replies`: the exchange thread's results arrive through it, on the event loop.
  HandOver(ConnectionTable& table, Answers& answers, AccessPolicy& access, Monitor& monitor,
           const ReceiverList& receivers, QObject* replies);

  // [Access] KnownReceiversOnly=1: a message that names a receiver the receiver file does
  // not hold is refused whole (kUnknownReceiver). Else it is handed over, and its JSON
  // answer lists such names under "unknown". Either way the log says so once a minute.
  // A receiver file that holds no receiver at all tells nothing: no name counts unknown.
  void SetKnownReceiversOnly(bool on) { knownReceiversOnly_ = on; }
  // With an outbox (outbox.h), a message is accepted into it rather than stored in the
  // command buffer: answered once it is on disk, with its id and state.
  void SetOutbox(Outbox* outbox) { outbox_ = outbox; }
  HandOver(const HandOver&) = delete;
  HandOver& operator=(const HandOver&) = delete;

  // The message that `request` posts; `path` and `info` are the posted page's, for the
  // form's answer (empty for a monitoring system's notification).
  void Submit(int index, const HttpRequest& request, const std::string& path,
              const struct stat& info);
  // GET /messages/ID with an outbox: the message's JSON (MessageJson), or not-found; GET
  // /messages?limit=N&before=ID: {"messages": [...]}, newest first, those the client may
  // see of the history (HistoryOf). False for any other request.
  bool AnswerMessageQuery(int index, const HttpRequest& request);
  // The messages of the history that the client of connection `index` may see, newest
  // first: a supervisor all, a user their own; a client without a user (no accounts, or
  // the shared password) all of them from a [Status] From address, none from another.
  std::vector<MessageStatus> HistoryOf(int index, size_t limit, uint64_t beforeId = 0) const;
  // Calls off the hand-over that the connection waits for; true when it had not started
  // (it never will) and the post was answered as refused for a busy exchange (kBusy).
  bool CallOff(int index);
  // A post refused because the exchange was busy: logged, with the others, in one line.
  void CountBusyRefusal();

 private:
  // What the answer needs of the post.
  struct Post {
    PostSource source = PostSource::kForm;
    std::string path;
    struct stat info {};
    Submission submission;
    std::string jsonError;
    std::string unknown;     // receivers the receiver file does not hold, each followed by 0xFE
    uint64_t messageId = 0;  // accepted into the outbox
    const PageLanguage* language = nullptr;  // of the page's texts
  };
  // The outbox's way for a message that passed every check.
  void AcceptIntoOutbox(int index, const Sender& key, const std::string& client, Post post,
                        std::string entry);
  // Whether the client of connection `index` may ask for `status` by its id: with
  // accounts, a supervisor any, a user their own, the shared account those without a
  // user; without accounts, whoever may post.
  bool MayAskFor(int index, const MessageStatus& status) const;
  // The message's state now, and its "id" and "state" for a JSON answer.
  std::string StateNow(uint64_t id) const;
  std::string MessageFields(uint64_t id) const;
  // "Could not pass ..." for a message that went no further, coalesced per client.
  void LogNotPassed(const Sender& key, const std::string& noun, const std::string& client,
                    const std::string& why);
  // `reason`: what a program is told when nothing was handed over (else the outcome's).
  void Answer(int index, const Post& post, SubmitOutcome outcome, const std::string& reason);

  ConnectionTable& table_;
  Answers& answers_;
  AccessPolicy& access_;
  Monitor& monitor_;
  const ReceiverList& receivers_;
  QObject* replies_;
  bool knownReceiversOnly_ = false;
  Outbox* outbox_ = nullptr;
  std::shared_ptr<std::atomic<int>> busyRefusals_ = std::make_shared<std::atomic<int>>(0);
};

}  // namespace vel
