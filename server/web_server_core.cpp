#include "web_server_core.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "alert_webhooks.h"
#include "cross_site.h"
#include "event_log.h"
#include "exchange_worker.h"
#include "file_io.h"
#include "json_message.h"
#include "kept_commands.h"
#include "monitor.h"
#include "page.h"
#include "port_diagnosis.h"
#include "profile_keys.h"
#include "request.h"
#include "response_sender.h"
#include "startup_report.h"
#include "submission.h"
#include "vel_proc.h"
#include "velmar_library.h"

namespace vel {

namespace {

constexpr const char* kProfile = "VELWEB.INI";
constexpr const char* kLockFile = ".velweb.lock";
constexpr const char* kCreditLine = "Velmar Systems 1999-2001";
constexpr int64_t kCachedFileBytes = 64 * 1024;
// When a monitoring system should post again a notification refused for its sender's
// send limit (they retry 5xx only, so it is answered 503).
constexpr int kSendLimitRetrySeconds = 60;
// How long a posted message waits for its turn at the exchange.
constexpr int64_t kHandOverWaitMs = 3000;

// Whether the last failed call failed because the process, or the system, has no
// descriptor left.
bool OutOfDescriptors() { return errno == EMFILE || errno == ENFILE; }

// The status of the regular file at `path`, a name in the program directory. A symbolic
// link is followed only when what it leads to lies inside the program directory: a link
// must never serve a file from elsewhere on the machine.
bool StatInProgramDir(const std::string& path, struct stat& info) {
  if (lstat(path.c_str(), &info) != 0) return false;
  if (S_ISLNK(info.st_mode)) {
    char real[PATH_MAX];
    const std::string& dir = ProgramDir();
    if (!realpath(path.c_str(), real) || std::strncmp(real, dir.c_str(), dir.size()) != 0 ||
        stat(real, &info) != 0) {
      return false;
    }
  }
  return S_ISREG(info.st_mode);
}

}  // namespace

WebServerCore::WebServerCore(ServerLimits limits) : table_(limits) {
  table_.SetEvents(
      {[this](int index, const std::string& request) { HandleRequest(index, request); },
       [this](int index, int status) {
         // With status lines the client learns why; what it still sends is
         // drained.
         if (Headers_) {
           RefuseRequest(index, status);
         } else {
           table_.End(index, EndReason::kRequestRefused);
         }
       },
       [this](int index) {
         if (CallOffHandOver(index, SubmitOutcome::kBusy)) CountBusyRefusal();
       },
       [this](int index, EndReason reason) { ConnectionEnded(index, reason); }});
  busyRefusals_ = std::make_shared<std::atomic<int>>(0);

  SetWarningReport(&exchangeReplies_, [this](const std::string& text) {
    if (frontEnd_) frontEnd_->ShowWarning(text);
  });
}

// What was asked of the exchange is done before the program ends: no log line is lost.
WebServerCore::~WebServerCore() {
  ExchangeWorker::Instance().Finish();
  // A post whose hand-over was under way at the stop is answered with its result.
  if (QCoreApplication::instance()) QCoreApplication::sendPostedEvents(&exchangeReplies_);
  SetWarningReport(nullptr, nullptr);
}

void WebServerCore::SetFrontEnd(FrontEnd* frontEnd) {
  frontEnd_ = frontEnd;
  receivers_.SetFrontEnd(frontEnd);
}

uint16_t WebServerCore::ListeningPort() const {
  return static_cast<uint16_t>(table_.Listener().LocalPort());
}

// ---- start-up and shutdown -------------------------------------------------------------

int WebServerCore::Form_Load() {
  SetProgramDir(ExecutableDir());
  CopyMissingFiles(ProgramDir(), "OCV", "RCV");
  CopyMissingFiles(ProgramDir(), "ONI", "INI");
  // What is found wrong on the way is said at once, and logged once the log has begun.
  StartupReport report;
  report.CheckProgramDir(ProgramDir());

  if (!LoadLanguage()) {
    if (frontEnd_) frontEnd_->ChooseLanguage(ProgramDir());
    if (!LoadLanguage()) return 1;
  }

  // A lock left by a crashed process is taken over; one that cannot be made at all (a
  // read-only directory) does not keep the server from starting.
  instanceLock_ = std::make_unique<QLockFile>(QString::fromStdString(ProgramDir() + kLockFile));
  instanceLock_->setStaleLockTime(0);
  if (!instanceLock_->tryLock(0) && instanceLock_->error() == QLockFile::LockFailedError) {
    if (frontEnd_) {
      frontEnd_->ShowMessage("Velmar Web Server is already started", MessageIcon::Warning);
    }
    return 1;
  }

  // A mistake about who may send stops the start: said on standard error and logged.
  auto refuseStart = [this](const std::string& text) {
    if (frontEnd_) frontEnd_->ShowMessage(text, MessageIcon::Warning);
    size_t from = 0;
    for (size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1) {
      WriteLog(text.substr(from, end - from));
    }
    WriteLog(text.substr(from));
    return 1;
  };
  if (const std::vector<std::string> mistakes = report.CheckProfile(kProfile); !mistakes.empty()) {
    std::string text;
    for (const std::string& mistake : mistakes) text += mistake + "\n";
    return refuseStart(text +
                       "Velmar Web Server does not start while [Access] may not say what was "
                       "meant: it could let everyone send.");
  }
  const int64_t port = ReadProfileNumber(ProfileSetting::kHttpPort, kProfile);
  Headers_ = ReadProfileNumber(ProfileSetting::kHeaders, kProfile) == 1;
  AccessSettings access;
  std::string accessError;
  if (!ParseAccessSettings(ReadProfileKey(ProfileSetting::kAllowFrom, kProfile),
                           ReadProfileNumber(ProfileSetting::kSendLimit, kProfile),
                           ReadProfileKey(ProfileSetting::kPassword, kProfile),
                           ReadProfileKey(ProfileSetting::kTrustProxy, kProfile), access,
                           accessError)) {
    return refuseStart(accessError);
  }
  // A client without status lines never learns that a password is wanted.
  if (!access.passwordHash.empty() && !Headers_) {
    return refuseStart(
        "A password is set ([Access] Password in VELWEB.INI), and a password needs HTTP "
        "status lines: set Headers=1 in section [HTTP] of VELWEB.INI, or remove the password.");
  }
  table_.SetStatusLines(Headers_);
  access_ = AccessPolicy(std::move(access));
  if (!access_.PasswordHash().empty()) {
    passwordHasher_ = std::make_unique<PasswordHasher>(access_.PasswordHash(), &passwordReplies_);
  }
  const std::string listenAddress = ReadProfileKey(ProfileSetting::kListenAddress, kProfile);
  MonitorSettings monitorSettings;
  std::string monitorError;
  if (!listenAddress.empty() && !IpAddress::Parse(listenAddress)) {
    monitorError = "[TCPIP] ListenAddress=" + listenAddress + " in " + kProfile +
                   " is no IPv4 or IPv6 address: write one such as 127.0.0.1 or ::1, or "
                   "remove the key to listen on every address.";
  }
  if (!monitorError.empty() || !ReadMonitorSettings(kProfile, monitorSettings, monitorError)) {
    return refuseStart(monitorError);
  }
  table_.Listener().SetLocalAddress(listenAddress);

  table_.FitToDescriptors();

  const bool inRange = port >= 1 && port <= 65535;
  if (inRange) table_.Listener().SetLocalPort(static_cast<int32_t>(port));
  if (!inRange || !table_.Listener().Listen()) {
    if (frontEnd_) {
      // The reason is found on every address; one address of its own may be the cause.
      const std::string onAddress =
          listenAddress.empty() ? std::string()
                                : "\nIt was to be opened on " + listenAddress +
                                      " ([TCPIP] ListenAddress), which must be an address of "
                                      "this machine.";
      frontEnd_->ShowMessage("The HTTP port (" + std::to_string(port) + ") can not be used.\n" +
                                 PortFailureReason(port) + onAddress,
                             MessageIcon::Warning);
    }
    return 1;
  }
  if (port != 80 && !Headers_) {
    report.Note(
        "browsers reject answers without a status line on a port other than 80; set "
        "Headers=1 in section [HTTP] of VELWEB.INI to send one.");
  }
  report.CheckLibrary();
  report.CheckReceiverFile(ReceiverList::kFileName);

  WriteLog("Velmar Web Server is starting");
  report.WriteToLog();
  // Before any new message: the exchange thread takes its jobs in order.
  ExchangeWorker::Instance().Run(HandBackKeptCommands);
  if (frontEnd_) frontEnd_->ShowServedRequests(ServedRequests_);
  monitor_.Start(std::move(monitorSettings),
                 {[this] { return ServedRequests_; }, [this] { return table_.Active(); },
                  [this](const std::string& line) {
                    WriteLog(line);
                    if (frontEnd_) frontEnd_->ShowNotice(line);
                  }});
  return 0;
}

void WebServerCore::Form_Activate() {
  if (activation_ != Activation::kNone) {
    if (activation_ == Activation::kStarted) {
      if (frontEnd_) frontEnd_->CloseSplash();
      activation_ = Activation::kSplashRemoved;
    }
    return;
  }
  activation_ = Activation::kStarted;
  const std::string panel = std::string(kCaption) + "\r\n\r\n" + GetText(kTextBeforeVersion) + " " +
                            kVersion + "\r\n\r\n" + GetText(kTextBeforeCredit) + " " + kCreditLine +
                            "\r\n";
  if (frontEnd_) frontEnd_->ShowSplash(kCaption, panel, GetText(kTextLoadingReceivers));
  receivers_.Load();
  if (frontEnd_) frontEnd_->SetSplashInfo("Velmar Web Server Initialized Ok...");
  WriteLog("Velmar Web Server Started");
}

bool WebServerCore::Form_QueryUnload(UnloadReason reason) {
  if (closing_) return false;  // a shutdown is under way already
  if (reason == UnloadReason::kSystemShutdown) {
    // Posts still waiting for the exchange are told so; keeping what waits in the
    // command buffer comes next, not behind them.
    for (size_t i = 0; i < table_.Size(); ++i) {
      CallOffHandOver(static_cast<int>(i), SubmitOutcome::kBusy);
    }
    ExchangeWorker::Instance().RunFirst(KeepWaitingCommands);
    WriteLog("Velmar Web Server shuts down because Windows shuts down");
    monitor_.Stopping();
    closing_ = true;
    return false;
  }
  const bool yes =
      !frontEnd_ || frontEnd_->AskYesNo(
                        "If you shut down Velmar Web Server you will not be able to send "
                        "Web-based free text messages. Are you sure ?");
  // The system may have shut us down while the question stood.
  if (closing_) return false;
  if (!yes) return true;
  for (size_t i = 0; i < table_.Size(); ++i) {
    CallOffHandOver(static_cast<int>(i), SubmitOutcome::kBusy);
  }
  ExchangeWorker::Instance().RunFirst(KeepWaitingCommands);
  WriteLog("Velmar Web Server shut down because of user interaction");
  monitor_.Stopping();
  closing_ = true;
  return false;
}

// ---- hand-overs ------------------------------------------------------------------------

bool WebServerCore::CallOffHandOver(int index, SubmitOutcome outcome) {
  Connection& c = table_.At(index);
  if (c.state != ConnectionState::kHandingOver || !c.ticket ||
      !ExchangeWorker::Instance().CallOff(*c.ticket)) {
    return false;
  }
  c.ticket.reset();
  const std::function<void(SubmitOutcome)> answer = std::move(c.answerCalledOff);
  c.answerCalledOff = nullptr;
  answer(outcome);
  return true;
}

void WebServerCore::CountBusyRefusal() {
  // One log line for all the posts refused while the exchange is busy, written when it
  // has a moment: one line per post would queue behind the very jobs that are stuck.
  if (busyRefusals_->fetch_add(1) != 0) return;
  ExchangeWorker::Instance().Run([count = busyRefusals_] {
    const int refused = count->exchange(0);
    WriteLogFromExchange("Could not pass " + std::to_string(refused) +
                         " HTTP message request(s): the exchange was busy");
  });
}

// ---- dispatch --------------------------------------------------------------------------

void WebServerCore::ConnectionEnded(int index, EndReason reason) {
  if (reason == EndReason::kMadeRoom) monitor_.Metrics().CountMadeRoom();
  if (reason == EndReason::kServed && !table_.At(index).statusRequest) {
    ++ServedRequests_;
    if (frontEnd_) frontEnd_->ShowServedRequests(ServedRequests_);
  }
}

void WebServerCore::HandleRequest(int index, const std::string& request) {
  if (AnswerStatusRequest(index, request)) return;
  // Without [Access] keys this is one test of a flag.
  if (access_.Active() && !Admit(index, request)) return;
  Serve(index, request);
}

void WebServerCore::RefuseRequest(int index, int status) {
  Connection& c = table_.At(index);
  table_.Sockets().SetTimeLimit(index, 0);
  const bool json = IsJsonRequest(c.RequestBuffer);
  const bool webhook = IsWebhook(WebhookOf(c.RequestBuffer));
  c.RequestBuffer.clear();
  const std::string why = status == 413
                              ? "the request is longer than " +
                                    std::to_string(table_.Limits().maxRequestBytes) +
                                    " bytes: nothing was sent"
                              : "the request's Content-Length is no plain number: nothing was sent";
  if (webhook) {
    SendWebhookAnswer(index, JsonNotSent(why), status, {});
  } else if (json) {
    SendBody(index, kJsonContentType, std::make_shared<const std::string>(JsonNotSent(why)),
             status);
  } else {
    SendBody(index, ContentTypeFor("HTM"),
             std::make_shared<const std::string>(status == 413 ? TooLargePage() : BadRequestPage()),
             status);
  }
}

void WebServerCore::Serve(int index, const std::string& request) {
  const RequestTarget target = ParseRequestTarget(request);
  // HEAD has the head of GET without its body; without heads, there is nothing to say.
  const bool head = target.method == "HEAD";
  const ResponseKind kind =
      head && !Headers_ ? ResponseKind::kNotFound : KindOf(target.method, target.extension);
  table_.At(index).headOnly = head && Headers_;
  // Monitoring systems post to paths of their own, which no page shadows.
  if (const PostSource webhook = WebhookOf(request); webhook != PostSource::kForm) {
    Submit(index, request, {}, {}, webhook);
    return;
  }
  // A program that posts JSON learns of a missing page in JSON.
  auto notFound = [&] {
    if (target.method == "POST" && IsJsonRequest(request)) {
      SendBody(index, kJsonContentType,
               std::make_shared<const std::string>(JsonNotSent("there is no such page")), 404);
    } else {
      SendNotFound(index);
    }
  };
  // A name that could leave the program directory is never looked up at all.
  if (!target.servable || kind == ResponseKind::kNotFound) {
    notFound();
    return;
  }
  // Names are found in the program directory whatever their case on disk. The common
  // case, a name spelt as on disk, costs one look at the file: its open, or its status.
  const bool plainName = target.fileName[0] != '.';
  std::string path = ProgramDir() + target.fileName;
  if (kind == ResponseKind::kFile) {
    if (plainName && SendFile(index, path, target.extension)) return;
    path = ResolveInDir(ProgramDir(), target.fileName);
    errno = 0;
    if (FileExists(path) && SendFile(index, path, target.extension)) return;
    if (OutOfDescriptors()) {
      table_.AwaitDescriptor(index, [this, index, request] { Serve(index, request); });
      return;
    }
    // Found by the existence test but unreadable: not found all the same.
    SendNotFound(index);
    return;
  }
  struct stat info {};
  bool found = plainName && StatInProgramDir(path, info);
  if (!found) {
    path = ResolveInDir(ProgramDir(), target.fileName);
    found = FileExists(path) && StatInProgramDir(path, info);
  }
  if (!found) {
    notFound();
    return;
  }
  if (target.method == "POST") {
    Submit(index, request, path, info, PageSourceOf(request));
  } else {
    SendPage(index, path, info, {}, {}, true);
  }
}

bool WebServerCore::AnswerStatusRequest(int index, const std::string& request) {
  if (StatusPathOf(request) == StatusPath::kNone) return false;  // a page's cost
  const IpAddress client =
      access_.ClientOf(IpAddress::FromSocket(table_.Sockets().RemoteAddress(index)), request);
  std::optional<StatusAnswer> answer = monitor_.Answer(request, client);
  if (!answer) return false;
  // Always with a status line: monitoring reads the status.
  table_.At(index).statusRequest = true;
  const std::string head =
      ResponseHead(answer->status, answer->contentType, static_cast<int64_t>(answer->body.size()));
  table_.Queue(index, std::make_unique<ResponseSender>(
                          head, std::make_shared<const std::string>(std::move(answer->body))));
  return true;
}

bool WebServerCore::Admit(int index, const std::string& request) {
  Connection& c = table_.At(index);
  const IpAddress peer = IpAddress::FromSocket(table_.Sockets().RemoteAddress(index));
  AccessPolicy::Decision decision = access_.Admit(peer, request, NowMs());
  c.client = decision.client;
  if (decision.refusal != Refusal::kUnchecked) return Concluded(index, request, decision);
  // The hash is checked on the password thread; the request waits for its result.
  const ConnectionId id = table_.IdOf(index);
  const IpAddress client = decision.client;
  const std::string password = decision.password;
  const bool queued = passwordHasher_ && passwordHasher_->Check(password, [=, this](bool matched) {
    if (!table_.Waits(id, ConnectionState::kCheckingPassword)) return;  // gone
    if (Concluded(index, request, access_.Checked(client, password, matched, NowMs()))) {
      Serve(index, request);
    }
  });
  if (queued) {
    c.state = ConnectionState::kCheckingPassword;
    return false;
  }
  return Concluded(index, request, access_.Busy(client, NowMs()));
}

bool WebServerCore::Concluded(int index, const std::string& request,
                              const AccessPolicy::Decision& decision) {
  for (const std::string& line : decision.logLines) WriteLog(line);
  if (decision.refusal == Refusal::kNone) return true;
  SendRefusal(index, request, decision.refusal);
  return false;
}

void WebServerCore::SendRefusal(int index, const std::string& request, Refusal refusal) {
  static const std::string kChallenge =
      std::string("WWW-Authenticate: Basic realm=\"") + kBasicRealm + "\"\r\n";
  monitor_.Metrics().CountRefusal(refusal == Refusal::kAddress     ? ServerMetrics::kAddress
                                  : refusal == Refusal::kLockedOut ? ServerMetrics::kLockedOut
                                  : refusal == Refusal::kBusy      ? ServerMetrics::kPasswordBusy
                                                                   : ServerMetrics::kPassword);
  int status = 401;
  const std::string* page = &PasswordPage();
  std::string reason = "a password is wanted (HTTP Basic)";
  std::string fields = kChallenge;
  switch (refusal) {
    case Refusal::kAddress:
      status = 403;
      page = &RefusedPage();
      reason = "this address may not use the server";
      fields.clear();
      break;
    case Refusal::kLockedOut:
      page = &LockedOutPage();
      reason = "too many wrong passwords came from this address: try again in a minute";
      fields += "Retry-After: 60\r\n";
      break;
    case Refusal::kBusy:
      status = 503;
      page = &BusyPage();
      reason = "too many passwords to check at once: try again in a second";
      fields = "Retry-After: 1\r\n";
      break;
    case Refusal::kPassword:
    case Refusal::kUnchecked:
    case Refusal::kNone:
      break;
  }
  if (IsWebhook(WebhookOf(request))) {
    SendWebhookAnswer(index, JsonNotSent(reason), status, fields);
  } else if (IsJsonRequest(request)) {
    SendBody(index, kJsonContentType, std::make_shared<const std::string>(JsonNotSent(reason)),
             status, fields);
  } else {
    SendBody(index, ContentTypeFor("HTM"), std::make_shared<const std::string>(*page), status,
             fields);
  }
}

void WebServerCore::Submit(int index, const std::string& request, const std::string& path,
                           const struct stat& info, PostSource from) {
  Submission submission;
  std::string jsonError;
  bool skipped = false;
  if (from == PostSource::kJson) {
    JsonMessage parsed = ParseJsonMessage(RequestBody(request));
    if (parsed.error.empty()) submission = std::move(parsed.submission);
    jsonError = std::move(parsed.error);
  } else if (from != PostSource::kForm) {
    PostedMessage parsed = ParsePostedMessage(from, request);
    if (parsed.error.empty()) submission = std::move(parsed.submission);
    jsonError = std::move(parsed.error);
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
  if (!HeaderValues(request, "Transfer-Encoding").empty()) {
    AnswerSubmission(index, from, path, info, submission, SubmitOutcome::kLengthRequired, {});
    return;
  }
  Connection& c = table_.At(index);
  const IpAddress peer = IpAddress::FromSocket(table_.Sockets().RemoteAddress(index));
  // A client that a trusted proxy named is logged by that name.
  const std::string client =
      c.client && !(*c.client == peer) ? c.client->ToText() : table_.Sockets().RemoteHostIP(index);
  auto clientKey = [&] { return c.client ? *c.client : access_.ClientOf(peer, request); };
  // A browser made to post by a page of another site: nothing goes further.
  if (const std::optional<std::string> crossSite = CrossSiteReason(request)) {
    const IpAddress key = clientKey();
    for (const std::string& line : access_.CrossSite(key, NowMs())) WriteLog(line);
    AnswerSubmission(index, from, path, info, submission, SubmitOutcome::kCrossSite, *crossSite);
    return;
  }
  std::string entry;
  if (submission.Complete()) entry = CommandEntry(submission);
  const bool passable = !submission.holdsSeparator;
  const std::string noun = SourceNoun(from);
  if (skipped) {  // resolved, and resolved notifications are not wanted: nothing to send
    WriteLog("Received resolved " + noun + " from " + client + ", not sent (resolved=0)");
    AnswerSubmission(index, from, path, info, submission, SubmitOutcome::kHandedOver, {});
    return;
  }
  // An entry the command buffer can never hold: a retry cannot help.
  const bool fits = entry.size() <= kLargestCommandEntry;
  if (!fits && AnsweredInJson(from)) {
    jsonError = "the command (\"FT:\", the receivers and the message) takes " +
                std::to_string(entry.size()) + " bytes; the alarm server takes at most " +
                std::to_string(kLargestCommandEntry);
  }

  // With a send limit every address has its share of the alarm server: a message past
  // it goes no further, and refusals, bad requests among them, are logged coalesced.
  std::vector<std::string> badLines;
  if (!submission.Complete()) badLines.push_back("Received bad " + noun + " from " + client);
  if (access_.SendLimit() > 0) {
    const IpAddress key = clientKey();
    const int64_t now = NowMs();
    if (submission.Complete()) {
      const AccessPolicy::SendPermit permit = access_.TakeSend(key, now);
      for (const std::string& line : permit.logLines) WriteLog(line);
      if (!permit.allowed) {
        AnswerSubmission(index, from, path, info, submission, SubmitOutcome::kOverLimit, {});
        return;
      }
    } else {
      std::vector<std::string> lines;
      access_.BadRequest(key, badLines.front(), now, lines);
      badLines.swap(lines);
      if (badLines.empty()) {
        AnswerSubmission(index, from, path, info, submission, SubmitOutcome::kBad, jsonError);
        return;
      }
    }
  }

  // The log lines and the hand-over go through the exchange thread, in this order, and
  // the answer follows once they are done; other clients are served meanwhile. The line
  // of hand-overs waiting there is bounded, and a place in it is kept for a while only.
  const ConnectionId id = table_.IdOf(index);
  std::shared_ptr<ExchangeTicket> ticket = ExchangeWorker::Instance().RunHandOver(
      [this, index, id, client, passable, fits, path, info, from, submission,
       entry = std::move(entry), badLines = std::move(badLines), jsonError] {
        bool handedOver = true;
        std::optional<BufferReading> reading;
        if (!submission.Complete()) {
          for (const std::string& line : badLines) WriteLogFromExchange(line);
        } else {
          WriteLogFromExchange("Received " + SourceNoun(from) + " from " + client);
          const int64_t start = NowMs();
          const std::optional<int32_t> stored =
              passable && fits ? VelmarLibrary::Instance().SetCommandEntry(entry) : std::nullopt;
          handedOver = stored && *stored == 1;
          reading = ReadCommandBuffer(handedOver ? 1 : 0, NowMs() - start);
          if (!handedOver)
            WriteLogFromExchange("Could not pass " + SourceNoun(from) + " from " + client);
        }
        const SubmitOutcome outcome = !submission.Complete() ? SubmitOutcome::kBad
                                      : handedOver           ? SubmitOutcome::kHandedOver
                                      : !passable            ? SubmitOutcome::kUnpassable
                                      : !fits                ? SubmitOutcome::kTooLong
                                                             : SubmitOutcome::kNotTaken;
        ExchangeWorker::Reply(&exchangeReplies_, [=, this] {
          if (reading) monitor_.Take(*reading);
          if (!table_.Waits(id, ConnectionState::kHandingOver)) return;  // gone
          Connection& now = table_.At(index);
          now.ticket.reset();
          now.answerCalledOff = nullptr;
          AnswerSubmission(index, from, path, info, submission, outcome, jsonError);
        });
      });
  if (!ticket) {
    // The line is full: a complete message is refused at once (a retry may find room);
    // a bad one is answered as bad all the same.
    if (submission.Complete()) CountBusyRefusal();
    AnswerSubmission(index, from, path, info, submission,
                     submission.Complete() ? SubmitOutcome::kBusy : SubmitOutcome::kBad, jsonError);
    return;
  }
  c.state = ConnectionState::kHandingOver;
  c.ticket = std::move(ticket);
  c.answerCalledOff = [=, this](SubmitOutcome outcome) {
    AnswerSubmission(index, from, path, info, submission, outcome, {});
  };
  c.handOverDeadlineMs = NowMs() + kHandOverWaitMs;
  table_.Sockets().SetTimeLimit(index, kHandOverWaitMs);
}

void WebServerCore::AnswerSubmission(int index, PostSource source, const std::string& path,
                                     const struct stat& info, const Submission& submission,
                                     SubmitOutcome outcome, const std::string& jsonError) {
  int status = StatusOf(outcome);
  int retryAfter = RetryAfterOf(outcome);
  // Monitoring systems retry on 5xx and never on 4xx: a notification past its sender's
  // send limit is refused with 503, to come again once the minute is over.
  if (IsWebhook(source) && outcome == SubmitOutcome::kOverLimit) {
    status = 503;
    retryAfter = kSendLimitRetrySeconds;
  }
  const std::string fields =
      retryAfter > 0 ? "Retry-After: " + std::to_string(retryAfter) + "\r\n" : std::string();
  ServerMetrics& metrics = monitor_.Metrics();
  switch (outcome) {
    case SubmitOutcome::kHandedOver:
      if (submission.Complete()) metrics.CountHandedOver();
      break;
    case SubmitOutcome::kBad:
      metrics.CountRefusal(ServerMetrics::kBadRequest);
      break;
    case SubmitOutcome::kUnpassable:
      metrics.CountRefusal(ServerMetrics::kUnpassable);
      break;
    case SubmitOutcome::kLengthRequired:
      metrics.CountRefusal(ServerMetrics::kLengthRequired);
      break;
    case SubmitOutcome::kTooLong:
      metrics.CountRefusal(ServerMetrics::kTooLong);
      break;
    case SubmitOutcome::kOverLimit:
      metrics.CountRefusal(ServerMetrics::kSendLimit);
      break;
    case SubmitOutcome::kNotTaken:
      metrics.CountRefusal(ServerMetrics::kNotTaken);
      break;
    case SubmitOutcome::kBusy:
      metrics.CountRefusal(ServerMetrics::kExchangeBusy);
      break;
    case SubmitOutcome::kCrossSite:
      metrics.CountRefusal(ServerMetrics::kCrossSite);
      break;
  }
  if (AnsweredInJson(source)) {
    std::string body = outcome != SubmitOutcome::kHandedOver
                           ? JsonNotSent(jsonError.empty() ? NotSentReason(outcome) : jsonError)
                       : submission.Complete() ? JsonSent(submission.receivers)
                                               : JsonSkipped();
    // A message handed over says whether it waits for an alarm server that takes none.
    if (outcome == SubmitOutcome::kHandedOver && submission.Complete()) {
      body.insert(body.rfind('}'), monitor_.JsonFields());
    }
    if (IsWebhook(source)) {  // the answer always has its status line
      SendWebhookAnswer(index, body, status, fields);
    } else {
      SendBody(index, kJsonContentType, std::make_shared<const std::string>(body), status, fields);
    }
    return;
  }
  // A bad request's page says what was missing; every other one not handed over says
  // "[Not Sent]".
  const bool shownAsSent = outcome == SubmitOutcome::kHandedOver || outcome == SubmitOutcome::kBad;
  SendPage(index, path, info, submission.receivers, submission.message, shownAsSent, status, fields,
           outcome == SubmitOutcome::kHandedOver ? monitor_.WaitingNote() : std::string());
}

void WebServerCore::SendWebhookAnswer(int index, const std::string& body, int status,
                                      const std::string& fields) {
  monitor_.Metrics().CountResponse(status);
  table_.Queue(
      index, std::make_unique<ResponseSender>(
                 ResponseHead(status, kJsonContentType, static_cast<int64_t>(body.size()), fields),
                 std::make_shared<const std::string>(body)));
}

// ---- responses -------------------------------------------------------------------------

void WebServerCore::SendNotFound(int index) {
  std::vector<std::string> pieces;
  if (Headers_) {
    size_t length = 0;
    for (const std::string& line : NotFoundLines()) length += line.size();
    pieces.push_back(ResponseHead(404, ContentTypeFor("HTM"), static_cast<int64_t>(length)));
  }
  if (!table_.At(index).headOnly) {
    pieces.insert(pieces.end(), NotFoundLines().begin(), NotFoundLines().end());
  }
  monitor_.Metrics().CountResponse(404);
  table_.Queue(index, std::make_unique<ResponseSender>(std::move(pieces)));
}

bool WebServerCore::SendFile(int index, const std::string& path, const std::string& extension) {
  // A small file (a page's images) is kept in memory while it stays unchanged: one look
  // at the file instead of opening and reading it for every request.
  struct stat info {};
  if (!StatInProgramDir(path, info)) return false;
  if (info.st_size <= kCachedFileBytes) {
    std::shared_ptr<const std::string> body = fileCache_.Find(path, info, 0);
    if (!body) {
      std::optional<std::string> bytes = ReadWholeFile(path, kCachedFileBytes);
      if (!bytes) return false;
      body = std::make_shared<const std::string>(std::move(*bytes));
      if (static_cast<int64_t>(body->size()) == info.st_size) fileCache_.Store(path, info, 0, body);
    }
    SendBody(index, ContentTypeFor(extension), std::move(body));
    return true;
  }
  if (table_.At(index).headOnly) {
    table_.Queue(index, std::make_unique<ResponseSender>(std::vector<std::string>{
                            ResponseHead(200, ContentTypeFor(extension), info.st_size)}));
    return true;
  }
  std::function<std::string(int64_t)> head;
  if (Headers_) {
    head = [extension](int64_t length) {
      return ResponseHead(200, ContentTypeFor(extension), length);
    };
  }
  std::unique_ptr<ResponseSender> sender = ResponseSender::ForFile(path, head);
  if (!sender) return false;
  monitor_.Metrics().CountResponse(200);
  table_.Queue(index, std::move(sender));
  return true;
}

void WebServerCore::SendPage(int index, const std::string& path, const struct stat& info,
                             const std::string& receivers, const std::string& message,
                             bool handedOver, int status, const std::string& moreFields,
                             const std::string& waitingNote) {
  // A page without a submission to show is the same for every client until its file or
  // the receiver list changes: it is rendered once and sent from the cache after that.
  const bool known = receivers.empty() && message.empty() && handedOver && waitingNote.empty();
  std::shared_ptr<const std::string> body;
  if (known) body = pageCache_.Find(path, info, receivers_.Generation());
  if (!body) {
    const std::optional<std::string> bytes = ReadWholeFile(path);
    if (!bytes) {
      if (OutOfDescriptors()) {
        table_.AwaitDescriptor(index, [=, this] {
          SendPage(index, path, info, receivers, message, handedOver, status, moreFields,
                   waitingNote);
        });
      } else {
        SendNotFound(index);
      }
      return;
    }
    PageContext context;
    context.receivers = &receivers_.Names();
    context.version = kVersion;
    context.submittedReceivers = receivers;
    context.submittedMessage = message;
    context.handedOver = handedOver;
    context.waitingNote = waitingNote;
    std::string rendered;
    for (const std::string& piece : RenderPage(*bytes, context)) rendered += piece;
    body = std::make_shared<const std::string>(std::move(rendered));
    if (known) pageCache_.Store(path, info, receivers_.Generation(), body);
  }
  SendBody(index, ContentTypeFor("HTM"), std::move(body), status, moreFields);
}

void WebServerCore::SendBody(int index, const std::string& contentType,
                             std::shared_ptr<const std::string> body, int status,
                             const std::string& moreFields) {
  const std::string head =
      Headers_ ? ResponseHead(status, contentType, static_cast<int64_t>(body->size()), moreFields)
               : std::string();
  monitor_.Metrics().CountResponse(status);
  if (table_.At(index).headOnly) {
    table_.Queue(index, std::make_unique<ResponseSender>(std::vector<std::string>{head}));
    return;
  }
  table_.Queue(index, std::make_unique<ResponseSender>(head, std::move(body)));
}

}  // namespace vel
