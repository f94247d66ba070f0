#include "web_server_core.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <iostream>

#include "event_log.h"
#include "file_io.h"
#include "page.h"
#include "port_diagnosis.h"
#include "request.h"
#include "response_sender.h"
#include "startup_report.h"
#include "submission.h"
#include "vel_proc.h"
#include "velmar_library.h"

namespace vel {

namespace {

constexpr const char* kProfile = "VELWEB.INI";
constexpr const char* kReceiverFile = "vel_rcv.dat";
constexpr const char* kLockFile = ".velweb.lock";
constexpr const char* kCreditLine = "Velmar Systems 1999-2001";
constexpr int kReloadIntervalMs = 2000;
constexpr int64_t kCachedFileBytes = 64 * 1024;

int EnvMilliseconds(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (!text || !*text) return fallback;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value <= 0 || value > 24L * 3600 * 1000) return fallback;
  return static_cast<int>(value);
}

bool FileState(const std::string& path, int64_t& size, std::time_t& time) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return false;
  size = info.st_size;
  time = info.st_mtime;
  return true;
}

}  // namespace

ServerLimits ServerLimits::FromEnvironment() {
  ServerLimits limits;
  limits.requestTimeoutMs = EnvMilliseconds("VELWEB_REQUEST_TIMEOUT_MS", limits.requestTimeoutMs);
  limits.sendTimeoutMs = EnvMilliseconds("VELWEB_SEND_TIMEOUT_MS", limits.sendTimeoutMs);
  limits.idleGraceMs = EnvMilliseconds("VELWEB_IDLE_GRACE_MS", limits.idleGraceMs);
  return limits;
}

WebServerCore::WebServerCore(ServerLimits limits) : limits_(limits) {
  Winsock_HTTP_Connect.ConnectionRequest = [this](int32_t id) {
    Winsock_HTTP_Connect_ConnectionRequest(id);
  };
  Winsock_HTTP.DataArrival = [this] { Winsock_HTTP_DataArrival(); };
  Winsock_HTTP.SendComplete = [this] { Winsock_HTTP_SendComplete(); };
  Winsock_HTTP.CloseEvent = [this] { Winsock_HTTP_Close(); };
  Winsock_HTTP.Error = [this] { Winsock_HTTP_Error(); };

  requestTimer_.setSingleShot(true);
  sendTimer_.setSingleShot(true);
  idleTimer_.setSingleShot(true);
  QObject::connect(&idleTimer_, &QTimer::timeout, [this] { IdleGraceOver(); });
  QObject::connect(&requestTimer_, &QTimer::timeout, [this] { RequestTimedOut(); });
  QObject::connect(&sendTimer_, &QTimer::timeout, [this] { SendTimedOut(); });

  Timer_ReLoad.setInterval(kReloadIntervalMs);
  QObject::connect(&Timer_ReLoad, &QTimer::timeout, [this] { Timer_ReLoad_Timer(); });
  Timer_ReLoad.start();
}

WebServerCore::~WebServerCore() = default;

void WebServerCore::SetFrontEnd(FrontEnd* frontEnd) { frontEnd_ = frontEnd; }

uint16_t WebServerCore::ListeningPort() const {
  return static_cast<uint16_t>(Winsock_HTTP_Connect.LocalPort());
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

  report.CheckProfile(kProfile);
  const std::string portText = ReadProfileString("TCPIP", "HTTPPort", "80", kProfile);
  const int64_t port = RoundHalfEven(LeadingNumber(portText));
  Headers_ = RoundHalfEven(LeadingNumber(ReadProfileString("HTTP", "Headers", "0", kProfile))) == 1;

  const bool inRange = port >= 1 && port <= 65535;
  if (inRange) Winsock_HTTP_Connect.SetLocalPort(static_cast<int32_t>(port));
  if (!inRange || !Winsock_HTTP_Connect.Listen()) {
    if (frontEnd_) {
      frontEnd_->ShowMessage("The HTTP port (" + std::to_string(port) + ") can not be used.\n" +
                                 PortFailureReason(port),
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
  report.CheckReceiverFile(kReceiverFile);

  WriteLog("Velmar Web Server is starting");
  report.WriteToLog();
  if (frontEnd_) frontEnd_->ShowServedRequests(ServedRequests_);
  return 0;
}

void WebServerCore::Form_Activate() {
  if (StartupDone_) {
    if (!SplashRemoved_) {
      if (frontEnd_) frontEnd_->CloseSplash();
      SplashRemoved_ = true;
    }
    return;
  }
  StartupDone_ = true;
  const std::string panel = std::string(kCaption) + "\r\n\r\n" + GetText(13) + " " + kVersion +
                            "\r\n\r\n" + GetText(14) + " " + kCreditLine + "\r\n";
  if (frontEnd_) frontEnd_->ShowSplash(kCaption, panel, GetText(124));
  List_Receivers_.clear();
  ShowReceivers();
  RecordReceiverFileState();
  if (frontEnd_) frontEnd_->SetSplashInfo("Velmar Web Server Initialized Ok...");
  WriteLog("Velmar Web Server Started");
}

bool WebServerCore::Form_QueryUnload(UnloadReason reason) {
  if (closing_) return false;  // a shutdown is under way already
  if (reason == UnloadReason::kSystemShutdown) {
    WriteLog("Velmar Web Server shuts down because Windows shuts down");
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
  WriteLog("Velmar Web Server shut down because of user interaction");
  closing_ = true;
  return false;
}

// ---- connection slot -------------------------------------------------------------------

void WebServerCore::Winsock_HTTP_Connect_ConnectionRequest(int32_t requestId) {
  if (Winsock_HTTP.GetState() != Winsock::kClosed) {
    // The client waits until the slot is free. A connection that holds the slot without
    // having sent a byte gets a short grace, then gives way.
    if (RequestBuffer_.empty() && !requestHandled_ && !idleTimer_.isActive()) {
      idleTimer_.start(limits_.idleGraceMs);
    }
    return;
  }
  CloseAfterSend_ = false;
  requestHandled_ = false;
  if (Winsock_HTTP.Accept(Winsock_HTTP_Connect, requestId)) {
    requestTimer_.start(limits_.requestTimeoutMs);
  }
}

void WebServerCore::EndConnection() {
  requestTimer_.stop();
  sendTimer_.stop();
  idleTimer_.stop();
  sender_.reset();
  RequestBuffer_.clear();
  requestHandled_ = false;
  // The next waiting client, if any, is admitted from the event loop.
  Winsock_HTTP_Connect.AnnouncePending();
}

void WebServerCore::Winsock_HTTP_Close() {
  // A client may shut down its sending side once its request is out and still read the
  // answer: the response goes on (a client that is gone altogether breaks the sending).
  if (requestHandled_ && CloseAfterSend_) return;
  Winsock_HTTP.Abort();
  EndConnection();
}

void WebServerCore::Winsock_HTTP_Error() {
  Winsock_HTTP.Abort();
  EndConnection();
}

void WebServerCore::Winsock_HTTP_SendComplete() { PumpResponse(); }

void WebServerCore::PumpResponse() {
  if (sender_) {
    switch (sender_->SendNext(Winsock_HTTP)) {
      case ResponseSender::Step::kQueued:
        // The rest once the socket has sent this; but when the last of the response went
        // to the kernel at once (a page, a small file), it is done now.
        if (!sender_->Exhausted() || !Winsock_HTTP.AllSent()) return;
        break;
      case ResponseSender::Step::kFailed:
        Winsock_HTTP.Abort();  // the file broke off mid-way: the client sees a cut answer
        EndConnection();
        return;
      case ResponseSender::Step::kFinished:
        break;
    }
    sender_.reset();
  }
  if (!CloseAfterSend_) return;
  Winsock_HTTP.Close(!requestWithoutBody_);
  EndConnection();
  ++ServedRequests_;
  if (frontEnd_) frontEnd_->ShowServedRequests(ServedRequests_);
}

void WebServerCore::RequestTimedOut() {
  if (requestHandled_) return;
  Winsock_HTTP.Abort();
  EndConnection();
}

void WebServerCore::IdleGraceOver() {
  if (!RequestBuffer_.empty() || requestHandled_ || !Winsock_HTTP_Connect.HasPending()) return;
  Winsock_HTTP.Abort();
  EndConnection();
}

void WebServerCore::SendTimedOut() {
  Winsock_HTTP.Abort();
  EndConnection();
}

// ---- request assembly and dispatch -----------------------------------------------------

void WebServerCore::Winsock_HTTP_DataArrival() {
  const std::string data = Winsock_HTTP.GetData();
  // One request per connection: what follows a handled request is read and dropped.
  if (requestHandled_) return;
  RequestBuffer_ += data;
  if (!RequestBuffer_.empty()) idleTimer_.stop();
  const std::optional<size_t> length = CompleteRequestLength(RequestBuffer_);
  if (!length) {
    if (RequestBuffer_.size() > limits_.maxRequestBytes) {
      Winsock_HTTP.Abort();
      EndConnection();
    }
    return;
  }
  requestHandled_ = true;
  // A request that ends with its header block is all the client sends; one with a body
  // may be followed by stray bytes (a line end after a posted form), which are drained.
  requestWithoutBody_ = RequestBuffer_.find("\r\n\r\n") + 4 == *length;
  requestTimer_.stop();
  sendTimer_.start(limits_.sendTimeoutMs);
  HandleRequest(RequestBuffer_.substr(0, *length));
}

void WebServerCore::HandleRequest(const std::string& request) {
  const RequestTarget target = ParseRequestTarget(request);
  const ResponseKind kind = KindOf(target.method, target.extension);
  // A name that could leave the program directory is never looked up at all.
  if (!target.servable || kind == ResponseKind::kNotFound) {
    SendNotFound();
    return;
  }
  // Names are found in the program directory whatever their case on disk. The common
  // case, a name spelt as on disk, costs one look at the file: its open, or its status.
  const bool plainName = target.fileName[0] != '.';
  std::string path = ProgramDir() + target.fileName;
  if (kind == ResponseKind::kFile) {
    if (plainName && SendFile(path, target.extension)) return;
    path = ResolveInDir(ProgramDir(), target.fileName);
    // Found by the existence test but unreadable: not found all the same.
    if (!FileExists(path) || !SendFile(path, target.extension)) SendNotFound();
    return;
  }
  struct stat info {};
  bool found = plainName && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
  if (!found) {
    path = ResolveInDir(ProgramDir(), target.fileName);
    found = FileExists(path) && stat(path.c_str(), &info) == 0;
  }
  if (!found) {
    SendNotFound();
    return;
  }
  std::string receivers;
  std::string message;
  bool handedOver = true;
  if (target.method == "POST") Submit(request, receivers, message, handedOver);
  SendPage(path, info, receivers, message, handedOver);
}

void WebServerCore::Submit(const std::string& request, std::string& receivers, std::string& message,
                           bool& handedOver) {
  Submission submission;
  try {
    submission = ParseSubmission(request);
  } catch (const OverflowError&) {
    submission = Submission{};  // fields past what text positions address: a bad request
  }
  receivers = submission.receivers;
  message = submission.message;
  const std::string client = Winsock_HTTP.RemoteHostIP();
  if (!submission.Complete()) {
    WriteLog("Received bad HTTP message request from " + client);
    return;
  }
  WriteLog("Received HTTP message request from " + client);
  // The library takes zero-terminated text: an entry holding a NUL byte (an encoded %00)
  // would reach the alarm server cut short, so it is not passed on at all.
  const std::string entry = CommandEntry(submission);
  const std::optional<int32_t> stored =
      entry.find('\0') == std::string::npos ? VelmarLibrary::Instance().SetCommandEntry(entry)
                                             : std::nullopt;
  handedOver = stored && *stored == 1;
  if (!handedOver) WriteLog("Could not pass HTTP message request from " + client);
}

// ---- responses -------------------------------------------------------------------------

void WebServerCore::QueueResponse(std::unique_ptr<ResponseSender> sender) {
  sender_ = std::move(sender);
  CloseAfterSend_ = true;
  PumpResponse();
}

void WebServerCore::SendNotFound() {
  std::vector<std::string> pieces;
  if (Headers_) {
    size_t length = 0;
    for (const std::string& line : NotFoundLines()) length += line.size();
    pieces.push_back(ResponseHead(404, ContentTypeFor("HTM"), static_cast<int64_t>(length)));
  }
  pieces.insert(pieces.end(), NotFoundLines().begin(), NotFoundLines().end());
  QueueResponse(std::make_unique<ResponseSender>(std::move(pieces)));
}

bool WebServerCore::SendFile(const std::string& path, const std::string& extension) {
  // A small file (a page's images) is kept in memory while it stays unchanged: one look
  // at the file instead of opening and reading it for every request.
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (info.st_size <= kCachedFileBytes) {
    std::shared_ptr<const std::string> body = fileCache_.Find(path, info, 0);
    if (!body) {
      std::optional<std::string> bytes = ReadWholeFile(path, kCachedFileBytes);
      if (!bytes) return false;
      body = std::make_shared<const std::string>(std::move(*bytes));
      if (static_cast<int64_t>(body->size()) == info.st_size) fileCache_.Store(path, info, 0, body);
    }
    SendBody(extension, std::move(body));
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
  QueueResponse(std::move(sender));
  return true;
}

void WebServerCore::SendPage(const std::string& path, const struct stat& info,
                             const std::string& receivers, const std::string& message,
                             bool handedOver) {
  // A page without a submission to show is the same for every client until its file or
  // the receiver list changes: it is rendered once and sent from the cache after that.
  const bool known = receivers.empty() && message.empty() && handedOver;
  std::shared_ptr<const std::string> body;
  if (known) body = pageCache_.Find(path, info, receiversGeneration_);
  if (!body) {
    const std::optional<std::string> bytes = ReadWholeFile(path);
    if (!bytes) {
      SendNotFound();
      return;
    }
    PageContext context;
    context.receivers = &List_Receivers_;
    context.version = kVersion;
    context.submittedReceivers = receivers;
    context.submittedMessage = message;
    context.handedOver = handedOver;
    std::string rendered;
    for (const std::string& piece : RenderPage(*bytes, context)) rendered += piece;
    body = std::make_shared<const std::string>(std::move(rendered));
    if (known) pageCache_.Store(path, info, receiversGeneration_, body);
  }
  SendBody("HTM", std::move(body));
}

void WebServerCore::SendBody(const std::string& extension,
                             std::shared_ptr<const std::string> body) {
  const std::string head =
      Headers_ ? ResponseHead(200, ContentTypeFor(extension), static_cast<int64_t>(body->size()))
               : std::string();
  QueueResponse(std::make_unique<ResponseSender>(head, std::move(body)));
}

// ---- receivers -------------------------------------------------------------------------

int16_t WebServerCore::LoadReceivers() {
  if (frontEnd_) frontEnd_->SetBusy(true);
  ReceiverCount_ = 0;
  const std::string path = ProgramFile(kReceiverFile);
  std::optional<std::string> content = ReadWholeFile(path);
  if (!content) {
    std::ofstream create(path, std::ios::binary | std::ios::app);  // a missing file is made empty
    content.emplace();
  }
  const std::string& bytes = *content;
  const ReceiverFile file = ParseReceiverFile(bytes);
  if (bytes.size() > 1 && file.version != 1) {
    WriteLog(GetText(803) + " " + std::to_string(file.version) + " " + GetText(804));
  }
  Receivers_ = file.records;
  ReceiverCount_ = file.count;
  if (frontEnd_) frontEnd_->SetBusy(false);
  return ReceiverCount_;
}

int16_t WebServerCore::ShowReceivers() {
  List_Receivers_.clear();
  const int16_t count = LoadReceivers();
  List_Receivers_ = SortedReceiverNames(Receivers_, ReceiverCount_);
  ++receiversGeneration_;
  if (frontEnd_) frontEnd_->ReceiversChanged(List_Receivers_);
  return count;
}

void WebServerCore::RecordReceiverFileState() {
  receiverFileKnown_ = FileState(ProgramFile(kReceiverFile), ReceiverFileSize_, ReceiverFileTime_);
}

void WebServerCore::Timer_ReLoad_Timer() {
  if (!StartupDone_) return;  // the first load is stage 2's
  int64_t size = 0;
  std::time_t time = 0;
  // A file that is away for the moment (being rewritten) is looked at on the next tick.
  if (!FileState(ProgramFile(kReceiverFile), size, time)) return;
  if (receiverFileKnown_ && size == ReceiverFileSize_ && time == ReceiverFileTime_) return;
  ReceiverFileSize_ = size;
  ReceiverFileTime_ = time;
  receiverFileKnown_ = true;
  const int16_t count = ShowReceivers();
  WriteLog("Velmar Web Server reloaded " + std::to_string(count) + " receivers");
}

}  // namespace vel
