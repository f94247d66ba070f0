#include "web_server_core.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>

#include "alert_webhooks.h"
#include "cross_site.h"
#include "event_log.h"
#include "exchange_worker.h"
#include "kept_commands.h"
#include "port_diagnosis.h"
#include "profile_keys.h"
#include "start_settings.h"
#include "startup_report.h"
#include "vel_proc.h"

namespace vel {

namespace {

constexpr const char* kProfile = "VELWEB.INI";
constexpr const char* kLockFile = ".velweb.lock";
constexpr const char* kCreditLine = "Velmar Systems 1999-2001";

}  // namespace

WebServerCore::WebServerCore(ServerLimits limits)
    : table_(limits),
      answers_(table_, monitor_.Metrics(), receivers_),
      handOver_(table_, answers_, access_, monitor_, receivers_, &exchangeReplies_) {
  table_.SetEvents(
      {[this](int index, const HttpRequest& request) { HandleRequest(index, request); },
       [this](int index, int status) {
         monitor_.Metrics().CountRefusal(status == 413 ? ServerMetrics::kTooLong
                                                       : ServerMetrics::kBadRequest);
         // With status lines the client learns why; what it still sends is drained.
         if (Headers_) {
           table_.Sockets().SetTimeLimit(index, 0);
           const HttpRequest partial(table_.TakeRequestBytes(index));
           answers_.RequestRefused(index, partial, status);
         } else {
           table_.End(index, EndReason::kRequestRefused);
         }
       },
       [this](int index) {
         if (handOver_.CallOff(index)) handOver_.CountBusyRefusal();
       },
       [this](int index, EndReason reason) { ConnectionEnded(index, reason); }});

  SetWarningReport(&exchangeReplies_, [this](const std::string& text) {
    if (frontEnd_) frontEnd_->ShowWarning(text);
  });
}

// What was asked of the exchange is done before the program ends: no log line is lost.
WebServerCore::~WebServerCore() {
  // Accepts on their way to the disk are finished first: their answers follow.
  if (outbox_) outbox_->Box().Close();
  exchange_.Worker().Finish();
  // A post whose hand-over was under way at the stop is answered with its result.
  if (QCoreApplication::instance()) QCoreApplication::sendPostedEvents(&exchangeReplies_);
  SetWarningReport(nullptr, nullptr);
}

void WebServerCore::SetFrontEnd(FrontEnd* frontEnd) {
  frontEnd_ = frontEnd;
  if (!frontEnd) {
    receivers_.SetWatcher({});
    return;
  }
  receivers_.SetWatcher(
      {[frontEnd](bool busy) { frontEnd->SetBusy(busy); },
       [frontEnd](const std::string& text) { frontEnd->ShowWarning(text); },
       [frontEnd](const std::vector<std::string>& names) { frontEnd->ReceiversChanged(names); }});
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
  report.CheckAccount(ProgramDir());

  // What keeps the server from starting is said on standard error and logged.
  auto refuseStart = [this](const std::string& text) {
    if (frontEnd_) frontEnd_->ShowMessage(text, MessageIcon::Warning);
    size_t from = 0;
    for (size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1) {
      WriteLog(text.substr(from, end - from));
    }
    WriteLog(text.substr(from));
    return 1;
  };
  // A profile that is there but cannot be read is never taken for a missing one: its
  // [Access] keys would be lost, and the server open to everyone.
  if (const std::string problem = ProfileProblem(kProfile); !problem.empty()) {
    return refuseStart(problem);
  }

  if (!LoadLanguage()) {
    if (frontEnd_) frontEnd_->ChooseLanguage(ProgramDir());
    if (!LoadLanguage()) return 1;
  }
  answers_.LoadLanguages(ProgramDir(), ReadProfileKey(ProfileSetting::kLanguage, kProfile));

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

  StartSettings settings;
  if (const std::vector<std::string> refusals = ReadStartSettings(kProfile, report, settings);
      !refusals.empty()) {
    std::string text;
    for (const std::string& refusal : refusals) text += (text.empty() ? "" : "\n") + refusal;
    return refuseStart(text);
  }
  const int64_t port = settings.port;
  Headers_ = settings.headers;
  if (Headers_) hosts_ = HostNames(settings.hosts);
  table_.SetStatusLines(Headers_);
  answers_.SetStatusLines(Headers_);
  access_ = AccessPolicy(std::move(settings.access));
  handOver_.SetKnownReceiversOnly(settings.knownReceiversOnly);
  // Accounts never fail open: a users file that cannot be used keeps the server shut.
  if (std::string error; !users_.Load(ProgramFile(kUsersFile), error)) {
    return refuseStart("Velmar Web Server does not start: " + error +
                       ". Mend the line (velctl user ... writes the file), or remove the file "
                       "to run without accounts.");
  }
  if (users_.Active() && !Headers_) {
    return refuseStart(std::string("There is a users file (") + kUsersFile +
                       "), and accounts need HTTP status lines: set Headers=1 in section "
                       "[HTTP] of VELWEB.INI, or remove the file.");
  }
  if (users_.Active()) access_.SetUsers(users_.All());
  // Looked at from now on: users added, changed, removed, or a file made.
  QObject::connect(&usersTimer_, &QTimer::timeout, [this] {
    std::vector<std::string> lines = users_.Refresh();
    if (lines.empty()) return;
    if (!Headers_) {
      lines.push_back(std::string("Velmar Web Server lets nobody in: accounts (") + kUsersFile +
                      ") need HTTP status lines; set Headers=1 in section [HTTP] of "
                      "VELWEB.INI and restart, or remove the file and restart.");
    }
    access_.SetUsers(users_.All());
    if (!passwordHasher_) {
      passwordHasher_ = std::make_unique<PasswordHasher>(access_.PasswordHash(), &passwordReplies_);
    }
    for (const std::string& line : lines) {
      WriteLog(line);
      if (frontEnd_) frontEnd_->ShowNotice(line);
    }
  });
  usersTimer_.start(kUsersLookMs);
  if (!access_.PasswordHash().empty() || users_.Active()) {
    passwordHasher_ = std::make_unique<PasswordHasher>(access_.PasswordHash(), &passwordReplies_);
  }
  // The outbox is opened before anything listens: a journal that cannot be read keeps
  // the server from starting, rather than leaving its messages behind.
  std::vector<std::string> outboxLines;
  if (settings.outbox.On()) {
    auto outbox = std::make_shared<Outbox>(settings.outbox, ProgramFile(Outbox::kFileName));
    std::string error;
    if (!outbox->Open(ProgramFile(kKeptCommandsFile), ProgramFile(kSetAsideCommandsFile),
                      outboxLines, error)) {
      return refuseStart("Velmar Web Server does not start: " + error + ".");
    }
    outbox_ = std::make_unique<OutboxFeeder>(std::move(outbox));
    handOver_.SetOutbox(&outbox_->Box());
  }
  const std::string listenAddress = settings.listenAddress;
  MonitorSettings monitorSettings = std::move(settings.monitor);
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
  for (const std::string& line : outboxLines) WriteLog(line);
  // Before any new message: the exchange thread takes its jobs in order. (With an
  // outbox, the kept messages went into it when it was opened.)
  if (!outbox_) ExchangeWorker::Instance().Run(HandBackKeptCommands);
  if (frontEnd_) frontEnd_->ShowServedRequests(ServedRequests_);
  monitor_.Start(std::move(monitorSettings),
                 {[this] { return ServedRequests_; }, [this] { return table_.Active(); },
                  [this](const std::string& line) {
                    WriteLog(line);
                    if (frontEnd_) frontEnd_->ShowNotice(line);
                  },
                  outbox_ ? &outbox_->Box() : nullptr});
  if (outbox_) outbox_->Start();
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
  if (reason == UnloadReason::kUserClose) {
    const bool yes =
        !frontEnd_ || frontEnd_->AskYesNo(
                          "If you shut down Velmar Web Server you will not be able to send "
                          "Web-based free text messages. Are you sure ?");
    // The system may have shut us down while the question stood.
    if (closing_) return false;
    if (!yes) return true;
  }
  // Posts still waiting for the exchange are told so; keeping what waits in the command
  // buffer comes next, not behind them.
  for (size_t i = 0; i < table_.Size(); ++i) {
    handOver_.CallOff(static_cast<int>(i));
  }
  if (outbox_) {
    // The outbox keeps its own messages; what other programs stored is kept as before.
    outbox_->Stop();
    ExchangeWorker::Instance().RunFirst([feeder = outbox_.get()] {
      feeder->LastLook();
      KeepWaitingCommands([feeder](const std::vector<std::string>& takenOut) {
        return feeder->TakeBack(takenOut);
      });
    });
  } else {
    ExchangeWorker::Instance().RunFirst([] { KeepWaitingCommands(); });
  }
  WriteLog(reason == UnloadReason::kSystemShutdown
               ? "Velmar Web Server shuts down because Windows shuts down"
               : "Velmar Web Server shut down because of user interaction");
  monitor_.Stopping();
  closing_ = true;
  return false;
}

// ---- dispatch --------------------------------------------------------------------------

void WebServerCore::ConnectionEnded(int index, EndReason reason) {
  if (reason == EndReason::kMadeRoom) monitor_.Metrics().CountMadeRoom();
  if (reason == EndReason::kServed && !table_.At(index).statusRequest) {
    ++ServedRequests_;
    if (frontEnd_) frontEnd_->ShowServedRequests(ServedRequests_);
  }
}

void WebServerCore::HandleRequest(int index, const HttpRequest& request) {
  // A name that is not the server's may be another site's, pointed at this address: its
  // pages must read nothing here, and post nothing (with status lines only: the clients
  // of bare bodies send no Host).
  if (Headers_) {
    const IpAddress peer = IpAddress::FromSocket(table_.Sockets().RemoteAddress(index));
    if (const std::optional<std::string> name =
            hosts_.Refused(request, access_.TrustsProxy(peer))) {
      for (const std::string& line :
           access_.UnknownHost(access_.ClientOf(peer, request), *name, NowMs())) {
        WriteLog(line);
      }
      answers_.UnknownHost(index, request, *name);
      return;
    }
  }
  // /metrics and /health, for the addresses [Status] From names.
  if (request.Status() != StatusPath::kNone) {
    const Sender client =
        access_.ClientOf(IpAddress::FromSocket(table_.Sockets().RemoteAddress(index)), request);
    if (std::optional<StatusAnswer> answer = monitor_.Answer(request, client.address)) {
      answers_.Status(index, std::move(*answer));
      return;
    }
  }
  // Without [Access] keys this is one test of a flag.
  if (access_.Active() && !Admit(index, request)) return;
  Serve(index, request);
}

bool WebServerCore::Admit(int index, const HttpRequest& request) {
  const IpAddress peer = IpAddress::FromSocket(table_.Sockets().RemoteAddress(index));
  AccessPolicy::Decision decision = access_.Admit(peer, request, NowMs());
  table_.SetClient(index, decision.client);
  if (decision.refusal != Refusal::kUnchecked) return Concluded(index, request, decision);
  // The hash is checked on the password thread; the request waits for its result.
  const ConnectionId id = table_.IdOf(index);
  const Sender client = decision.client;
  const std::string password = decision.password;
  const std::string hash = decision.hash;
  const bool queued =
      passwordHasher_ && passwordHasher_->Check(hash, password, [=, this](bool matched) {
        if (!table_.Waits(id, ConnectionState::kCheckingPassword)) return;  // gone
        if (Concluded(index, request,
                      access_.Checked(client, password, matched, NowMs(),
                                      !MadeByAnotherPage(request), hash))) {
          Serve(index, request);
        }
      });
  if (queued) {
    table_.AwaitPassword(index);
    return false;
  }
  return Concluded(index, request, access_.Busy(client, NowMs()));
}

bool WebServerCore::Concluded(int index, const HttpRequest& request,
                              const AccessPolicy::Decision& decision) {
  for (const std::string& line : decision.logLines) WriteLog(line);
  if (decision.refusal == Refusal::kNone) return true;
  answers_.Refused(index, request, decision.refusal);
  return false;
}

void WebServerCore::Serve(int index, const HttpRequest& request) {
  const RequestTarget& target = request.Target();
  // HEAD has the head of GET without its body; without heads, there is nothing to say.
  const bool head = target.method == "HEAD";
  const ResponseKind kind =
      head && !Headers_ ? ResponseKind::kNotFound : KindOf(target.method, target.extension);
  table_.SetHeadOnly(index, head && Headers_);
  // Monitoring systems post to paths of their own, which no page shadows.
  if (IsWebhook(request.Source())) {
    handOver_.Submit(index, request, {}, {});
    return;
  }
  // GET /messages/ID: what became of a message accepted into the outbox.
  if (outbox_ && handOver_.AnswerMessageQuery(index, request)) return;
  // A name that could leave the program directory is never looked up at all.
  if (!target.servable || kind == ResponseKind::kNotFound) {
    answers_.NotFound(index, request);
    return;
  }
  if (kind == ResponseKind::kFile) {
    answers_.File(index, target);
    return;
  }
  std::string path;
  struct stat info {};
  if (!Answers::FindPage(target.fileName, path, info)) {
    answers_.NotFound(index, request);
  } else if (target.method == "POST") {
    handOver_.Submit(index, request, path, info);
  } else {
    ShownMessage shown;
    shown.language = answers_.LanguageFor(request);
    shown.viewer = access_.RestrictedViewer(table_.At(index).client);
    if (outbox_) shown.history = [this, index] { return handOver_.HistoryOf(index, kHistoryRows); };
    answers_.Page(index, path, info, shown);
  }
}

}  // namespace vel
