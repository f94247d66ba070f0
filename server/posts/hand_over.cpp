#include "hand_over.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "alert_webhooks.h"
#include "command_entry.h"
#include "cross_site.h"
#include "event_log.h"
#include "exchange_worker.h"
#include "json_message.h"
#include "kept_commands.h"
#include "page.h"
#include "vel_proc.h"
#include "velmar_library.h"

namespace vel {

namespace {

// When a monitoring system should post again a notification refused for its sender's
// send limit (they retry 5xx only, so it is answered 503).
constexpr int kSendLimitRetrySeconds = 60;

// The refusal that /metrics counts for an outcome; nullptr for a message handed over.
const char* RefusalReasonOf(SubmitOutcome outcome) {
  switch (outcome) {
    case SubmitOutcome::kHandedOver:
      return nullptr;
    case SubmitOutcome::kBad:
      return ServerMetrics::kBadRequest;
    case SubmitOutcome::kUnpassable:
      return ServerMetrics::kUnpassable;
    case SubmitOutcome::kLengthRequired:
      return ServerMetrics::kLengthRequired;
    case SubmitOutcome::kTooLong:
      return ServerMetrics::kTooLong;
    case SubmitOutcome::kOverLimit:
      return ServerMetrics::kSendLimit;
    case SubmitOutcome::kNotTaken:
      return ServerMetrics::kNotTaken;
    case SubmitOutcome::kBusy:
      return ServerMetrics::kExchangeBusy;
    case SubmitOutcome::kCrossSite:
      return ServerMetrics::kCrossSite;
    case SubmitOutcome::kUnknownReceiver:
      return ServerMetrics::kUnknownReceiver;
    case SubmitOutcome::kNotPermitted:
      return ServerMetrics::kNotPermitted;
    case SubmitOutcome::kOutboxFull:
      return ServerMetrics::kOutboxFull;
    case SubmitOutcome::kNotKept:
      return ServerMetrics::kNotKept;
  }
  return nullptr;
}

// The receivers of `receivers` (each followed by 0xFE) that `known` does not hold, each
// followed by 0xFE; none when `known` is empty.
// The receivers of `receivers` (each followed by 0xFE) that `wanted` holds for, in the
// same form.
std::string ReceiversWhere(const std::string& receivers,
                           const std::function<bool(const std::string&)>& wanted) {
  std::string found;
  for (const std::string& name : ReceiverNames(receivers)) {
    if (wanted(name)) found += name + '\xFE';
  }
  return found;
}

std::string UnknownReceivers(const std::string& receivers, const std::vector<std::string>& known) {
  if (known.empty()) return {};
  return ReceiversWhere(receivers, [&](const std::string& name) {
    return std::find(known.begin(), known.end(), name) == known.end();
  });
}

// "A, B" of receivers each followed by 0xFE.
std::string ShownNames(const std::string& receivers) {
  return JoinedNames(ReceiverNames(receivers));
}

}  // namespace

std::string HandOver::StateNow(uint64_t id) const {
  const std::optional<MessageStatus> status = outbox_->Status(id);
  return StateName(status ? status->state : MessageState::kQueued);
}

std::string HandOver::MessageFields(uint64_t id) const {
  return ", \"id\": " + std::to_string(id) + ", \"state\": \"" + StateNow(id) + "\"";
}

HandOver::HandOver(ConnectionTable& table, Answers& answers, AccessPolicy& access, Monitor& monitor,
                   const ReceiverList& receivers, QObject* replies)
    : table_(table),
      answers_(answers),
      access_(access),
      monitor_(monitor),
      receivers_(receivers),
      replies_(replies) {}

void HandOver::Submit(int index, const HttpRequest& request, const std::string& path,
                      const struct stat& info) {
  Post post{request.Source(), path, info, {}, {}, {}, 0, answers_.LanguageFor(request)};
  const PostSource from = post.source;
  Submission& submission = post.submission;
  bool skipped = false;
  if (from == PostSource::kJson) {
    JsonMessage parsed = ParseJsonMessage(std::string(request.Body()));
    if (parsed.error.empty()) submission = std::move(parsed.submission);
    post.jsonError = std::move(parsed.error);
  } else if (from != PostSource::kForm) {
    PostedMessage parsed = ParsePostedMessage(from, request);
    if (parsed.error.empty()) submission = std::move(parsed.submission);
    post.jsonError = std::move(parsed.error);
    skipped = parsed.skipped;
  } else {
    try {
      submission = ParseSubmission(FormText(request));
    } catch (const OverflowError&) {
      submission = Submission{};  // fields past what text positions address: a bad request
    }
  }
  // A body in chunks is not read here: nothing of the request is handed over, neither
  // the query nor anything else (the page shows what the query held as not sent).
  if (!request.HeaderValues("Transfer-Encoding").empty()) {
    Answer(index, post, SubmitOutcome::kLengthRequired, {});
    return;
  }
  const Connection& c = table_.At(index);
  const IpAddress peer = IpAddress::FromSocket(table_.Sockets().RemoteAddress(index));
  // A client that a trusted proxy named is logged by that name.
  const std::string client =
      c.client && !(*c.client == peer) ? c.client->ToText() : table_.Sockets().RemoteHostIP(index);
  auto clientKey = [&] { return c.client ? *c.client : access_.ClientOf(peer, request); };
  // A browser made to post by a page of another site: nothing goes further.
  if (const std::optional<std::string> crossSite = CrossSiteReason(request)) {
    const Sender key = clientKey();
    for (const std::string& line : access_.CrossSite(key, NowMs())) WriteLog(line);
    Answer(index, post, SubmitOutcome::kCrossSite, *crossSite);
    return;
  }
  std::string entry;
  if (submission.Complete()) entry = CommandEntry(submission);
  const bool passable = !submission.holdsSeparator;
  const std::string noun = SourceNoun(from);
  if (skipped) {  // resolved, and resolved notifications are not wanted: nothing to send
    for (const std::string& line : access_.OnceAMinute(
             clientKey(), RefusalLog::kSkipped,
             "Received resolved " + noun + " from " + client + ", not sent (resolved=0)",
             NowMs())) {
      WriteLog(line);
    }
    Answer(index, post, SubmitOutcome::kHandedOver, {});
    return;
  }
  // A user pages only the receivers the users file gives them: a message that names
  // another goes no further, whole.
  if (submission.Complete()) {
    if (const UserAccount* user = access_.UserOf(clientKey())) {
      const std::string barred = ReceiversWhere(
          submission.receivers, [user](const std::string& name) { return !user->MayPage(name); });
      if (!barred.empty()) {
        for (const std::string& line :
             access_.OnceAMinute(clientKey(), RefusalLog::kUnknownReceiver,
                                 "Refused " + noun + " from " + client + ": " + user->name +
                                     " may not page " + ShownNames(barred),
                                 NowMs())) {
          WriteLog(line);
        }
        Answer(index, post, SubmitOutcome::kNotPermitted,
               "the user " + Utf8Names(user->name + '\xFE') + " may not page " + Utf8Names(barred) +
                   ": nothing was sent");
        return;
      }
    }
  }
  // A receiver that the receiver file does not hold pages nobody: said, and with
  // KnownReceiversOnly=1 nothing of the message goes further.
  if (submission.Complete())
    post.unknown = UnknownReceivers(submission.receivers, receivers_.Names());
  if (!post.unknown.empty()) {
    const std::string names = ShownNames(post.unknown);
    const Sender key = clientKey();
    const std::string line = knownReceiversOnly_
                                 ? "Refused " + noun + " from " + client +
                                       ": the receiver file holds no receiver " + names
                                 : noun + " from " + client +
                                       " names receivers the receiver file does not hold: " + names;
    for (const std::string& logged :
         access_.OnceAMinute(key, RefusalLog::kUnknownReceiver, line, NowMs())) {
      WriteLog(logged);
    }
    if (knownReceiversOnly_) {
      Answer(
          index, post, SubmitOutcome::kUnknownReceiver,
          "the receiver file holds no receiver " + Utf8Names(post.unknown) + ": nothing was sent");
      return;
    }
  }
  // An entry the command buffer can never hold: a retry cannot help.
  const bool fits = entry.size() <= kLargestCommandEntry;
  if (!fits && AnsweredInJson(from)) {
    post.jsonError = "the command (\"FT:\", the receivers and the message) takes " +
                     std::to_string(entry.size()) + " bytes; the alarm server takes at most " +
                     std::to_string(kLargestCommandEntry);
  }

  // A bad request is said, coalesced as refusals are, and goes no further.
  const Sender key = clientKey();
  if (!submission.Complete()) {
    std::vector<std::string> lines;
    access_.BadRequest(key, "Received bad " + noun + " from " + client, NowMs(), lines);
    for (const std::string& line : lines) WriteLog(line);
    Answer(index, post, SubmitOutcome::kBad, post.jsonError);
    return;
  }
  // With a send limit every address has its share of the alarm server: a message past
  // it goes no further.
  if (access_.SendLimitOf(key) > 0) {
    const AccessPolicy::SendPermit permit = access_.TakeSend(key, NowMs());
    for (const std::string& line : permit.logLines) WriteLog(line);
    if (!permit.allowed) {
      Answer(index, post, SubmitOutcome::kOverLimit, {});
      return;
    }
  }

  if (outbox_) {
    if (!passable || !fits) {
      LogNotPassed(key, noun, client, {});
      Answer(index, post, !passable ? SubmitOutcome::kUnpassable : SubmitOutcome::kTooLong,
             post.jsonError);
      return;
    }
    AcceptIntoOutbox(index, key, client, std::move(post), std::move(entry));
    return;
  }

  // The hand-over goes through the exchange thread, and the answer follows once it is
  // done; other clients are served meanwhile. The line of hand-overs waiting there is
  // bounded, and a place in it is kept for a while only. A message handed over is logged
  // there, each one ("Received ..."); one that was not is logged from the reply, with
  // the lines of this client's other such messages coalesced, since a client can send as
  // many as it likes while the alarm server takes none.
  const ConnectionId id = table_.IdOf(index);
  std::shared_ptr<ExchangeTicket> ticket = ExchangeWorker::Instance().RunHandOver(
      [this, index, id, key, client, passable, fits, post, entry = std::move(entry)] {
        const int64_t start = NowMs();
        const std::optional<int32_t> stored =
            passable && fits ? StoreCommandBehindKept(entry) : std::nullopt;
        const bool handedOver = stored && *stored == 1;
        const BufferReading reading = ReadCommandBuffer(handedOver ? 1 : 0, NowMs() - start);
        const std::string noun = SourceNoun(post.source);
        if (handedOver) WriteLogFromExchange("Received " + noun + " from " + client);
        const SubmitOutcome outcome = handedOver  ? SubmitOutcome::kHandedOver
                                      : !passable ? SubmitOutcome::kUnpassable
                                      : !fits     ? SubmitOutcome::kTooLong
                                                  : SubmitOutcome::kNotTaken;
        ExchangeWorker::Reply(replies_, [=, this] {
          monitor_.Take(reading);
          if (!handedOver) LogNotPassed(key, noun, client, {});
          if (!table_.Waits(id, ConnectionState::kHandingOver)) return;  // gone
          table_.HandOverDone(index);
          Answer(index, post, outcome, post.jsonError);
        });
      });
  if (!ticket) {
    // The line is full: the message is refused at once (a retry may find room).
    CountBusyRefusal();
    Answer(index, post, SubmitOutcome::kBusy, post.jsonError);
    return;
  }
  table_.AwaitHandOver(
      index, std::move(ticket),
      [this, index, post] { Answer(index, post, SubmitOutcome::kBusy, {}); }, kHandOverWaitMs);
}

void HandOver::LogNotPassed(const Sender& key, const std::string& noun, const std::string& client,
                            const std::string& why) {
  const std::vector<std::string> lines = access_.OnceAMinute(
      key, RefusalLog::kNotPassed, "Could not pass " + noun + " from " + client + why, NowMs());
  if (!lines.empty()) WriteLog("Received " + noun + " from " + client);
  for (const std::string& line : lines) WriteLog(line);
}

void HandOver::AcceptIntoOutbox(int index, const Sender& key, const std::string& client, Post post,
                                std::string entry) {
  // The answer waits for the disk; a message once on it is the outbox's, so the wait is
  // never called off.
  const ConnectionId id = table_.IdOf(index);
  table_.AwaitResult(index);
  auto answer = [this, index, id, key, client, post](Outbox::Accepted done) {
    ExchangeWorker::Reply(replies_, [this, index, id, key, client, post, done] {
      const std::string noun = SourceNoun(post.source);
      SubmitOutcome outcome = SubmitOutcome::kHandedOver;
      if (done.refusal == Outbox::Refusal::kNone) {
        WriteLog("Received " + noun + " from " + client);
      } else {
        const bool full = done.refusal == Outbox::Refusal::kFull;
        outcome = full ? SubmitOutcome::kOutboxFull : SubmitOutcome::kNotKept;
        LogNotPassed(key, noun, client,
                     full ? ": the outbox is full" : ": the outbox could not be written");
      }
      if (!table_.Waits(id, ConnectionState::kHandingOver)) return;  // gone
      table_.HandOverDone(index);
      Post accepted = post;
      accepted.messageId = done.id;
      Answer(index, accepted, outcome, {});
    });
  };
  outbox_->Accept(key.address.ToText(), entry, std::move(answer), key.user);
}

namespace {

// The number in `text` (digits only, within 64 bits); nothing else.
std::optional<uint64_t> Number(std::string_view text) {
  if (text.empty() || text.size() > 19 ||
      text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  return std::stoull(std::string(text));
}

// The value of `name` in the query `query` ("a=1&b=2"); empty when it is not there.
std::string_view QueryValue(std::string_view query, std::string_view name) {
  for (size_t at = 0; at <= query.size();) {
    size_t end = query.find('&', at);
    if (end == std::string_view::npos) end = query.size();
    const std::string_view field = query.substr(at, end - at);
    if (field.size() > name.size() && field.substr(0, name.size()) == name &&
        field[name.size()] == '=') {
      return field.substr(name.size() + 1);
    }
    at = end + 1;
  }
  return {};
}

}  // namespace

std::vector<MessageStatus> HandOver::HistoryOf(int index, size_t limit, uint64_t beforeId) const {
  const std::optional<Sender>& client = table_.At(index).client;
  const IpAddress address =
      client ? client->address : IpAddress::FromSocket(table_.Sockets().RemoteAddress(index));
  const UserAccount* user = client ? access_.UserOf(*client) : nullptr;
  if (!user && !monitor_.StatusAllowed(address)) return {};
  const bool all = !user || user->role == UserRole::kSupervisor;
  const std::string name = user ? user->name : std::string();
  return outbox_->History([&](const MessageStatus& status) { return all || status.user == name; },
                          limit, beforeId);
}

bool HandOver::MayAskFor(int index, const MessageStatus& status) const {
  if (!access_.Accounts()) return true;
  const std::optional<Sender>& client = table_.At(index).client;
  const UserAccount* user = client ? access_.UserOf(*client) : nullptr;
  if (!user) return status.user.empty();
  return user->role == UserRole::kSupervisor || status.user == user->name;
}

bool HandOver::AnswerMessageQuery(int index, const HttpRequest& request) {
  static constexpr std::string_view kPrefix = "/messages";
  // Pages and files pass by with one comparison.
  if (request.Text().compare(0, 4 + kPrefix.size(), "GET /messages") != 0) return false;
  const std::string target = request.TargetText();
  const size_t question = target.find('?');
  const std::string_view path = std::string_view(target).substr(0, question);
  const std::string_view query = question == std::string::npos
                                     ? std::string_view()
                                     : std::string_view(target).substr(question + 1);
  if (request.Target().method != "GET" || path.substr(0, kPrefix.size()) != kPrefix) return false;
  if (path == kPrefix || path == "/messages/") {
    const std::string_view limitText = QueryValue(query, "limit");
    const std::string_view beforeText = QueryValue(query, "before");
    const std::optional<uint64_t> limit = limitText.empty() ? 100 : Number(limitText);
    const std::optional<uint64_t> before = beforeText.empty() ? 0 : Number(beforeText);
    if (!limit || !before || *limit == 0 || *limit > 1000) {
      answers_.Json(index, PostSource::kJson,
                    JsonNotSent("limit is a number from 1 to 1000 and before a message's id"), 400);
      return true;
    }
    std::string body = "{\"messages\": [";
    bool first = true;
    for (const MessageStatus& status : HistoryOf(index, *limit, *before)) {
      std::string one = MessageJson(status);
      one.pop_back();  // its line end
      body += (first ? "" : ", ") + one;
      first = false;
    }
    answers_.Json(index, PostSource::kJson, body + "]}\n", 200);
    return true;
  }
  if (path.size() <= kPrefix.size() || path[kPrefix.size()] != '/') return false;
  std::optional<MessageStatus> status;
  if (const std::optional<uint64_t> id = Number(path.substr(kPrefix.size() + 1))) {
    status = outbox_->Status(*id);
  }
  if (status && !MayAskFor(index, *status)) status.reset();  // as if there were none
  if (!status) {
    answers_.Json(index, PostSource::kJson, JsonNotSent("no message of this id is known"), 404);
  } else {
    answers_.Json(index, PostSource::kJson, MessageJson(*status), 200);
  }
  return true;
}

bool HandOver::CallOff(int index) {
  const std::function<void()> answer = table_.CallOffHandOver(index);
  if (!answer) return false;
  answer();
  return true;
}

void HandOver::CountBusyRefusal() {
  // One log line for all the posts refused while the exchange is busy, written when it
  // has a moment: one line per post would queue behind the very jobs that are stuck.
  if (busyRefusals_->fetch_add(1) != 0) return;
  ExchangeWorker::Instance().Run([count = busyRefusals_] {
    const int refused = count->exchange(0);
    WriteLogFromExchange("Could not pass " + std::to_string(refused) +
                         " HTTP message request(s): the exchange was busy");
  });
}

void HandOver::Answer(int index, const Post& post, SubmitOutcome outcome,
                      const std::string& reason) {
  const Submission& submission = post.submission;
  int status = StatusOf(outcome);
  int retryAfter = RetryAfterOf(outcome);
  // Monitoring systems retry on 5xx and never on 4xx: a notification past its sender's
  // send limit is refused with 503, to come again once the minute is over.
  if (IsWebhook(post.source) && outcome == SubmitOutcome::kOverLimit) {
    status = 503;
    retryAfter = kSendLimitRetrySeconds;
  }
  const std::string fields =
      retryAfter > 0 ? "Retry-After: " + std::to_string(retryAfter) + "\r\n" : std::string();
  ServerMetrics& metrics = monitor_.Metrics();
  const char* refusal = RefusalReasonOf(outcome);
  if (refusal) {
    metrics.CountRefusal(refusal);
  } else if (submission.Complete()) {
    metrics.CountHandedOver();
  }
  if (const std::optional<Sender>& client = table_.At(index).client;
      client && access_.UserOf(*client) && (refusal || submission.Complete())) {
    metrics.CountUser(client->user, refusal);
  }
  if (AnsweredInJson(post.source)) {
    std::string body = outcome != SubmitOutcome::kHandedOver
                           ? JsonNotSent(reason.empty() ? NotSentReason(outcome) : reason)
                       : submission.Complete() ? JsonSent(submission.receivers)
                                               : JsonSkipped();
    // A message handed over says whether it waits for an alarm server that takes none.
    if (outcome == SubmitOutcome::kHandedOver && submission.Complete()) {
      if (!post.unknown.empty()) {
        body.insert(body.rfind('}'), ", \"unknown\": [" + JsonNames(post.unknown) + "]");
      }
      body.insert(body.rfind('}'), monitor_.JsonFields());
      if (post.messageId != 0) body.insert(body.rfind('}'), MessageFields(post.messageId));
    }
    answers_.Json(index, post.source, body, status, fields);
    return;
  }
  // A bad request's page says what was missing; every other one not handed over says
  // "[Not Sent]".
  ShownMessage shown;
  shown.receivers = submission.receivers;
  shown.message = submission.message;
  shown.handedOver = outcome == SubmitOutcome::kHandedOver || outcome == SubmitOutcome::kBad;
  if (outcome == SubmitOutcome::kHandedOver) shown.waitingNote = EscapeHtml(monitor_.WaitingNote());
  shown.viewer = access_.RestrictedViewer(table_.At(index).client);
  shown.language = post.language;
  if (post.messageId != 0) {
    shown.messageId = std::to_string(post.messageId);
    shown.state = StateNow(post.messageId);
  }
  answers_.Page(index, post.path, post.info, shown, status, fields);
}

}  // namespace vel
