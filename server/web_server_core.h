// The web server core: the state and event handlers of the main window Vel_WebServ,
// without any widget. It starts the server (Form_Load, Form_Activate), serves one
// client connection at a time, hands posted messages to the alarm server, reloads the
// receiver list and logs what it does. Everything runs on the one Qt event-loop thread.
//
// How a front end drives it (main.cpp wires this up; see also front_end.h):
//
//   vel::WebServerCore core;                       // creates the sockets and Timer_ReLoad
//   auto frontEnd = /* console or windows */;      // may keep a reference to `core`
//   core.SetFrontEnd(frontEnd.get());
//   if (int status = core.Form_Load(); status != 0) return status;   // stage 1
//   frontEnd->Start();                             // show the main window
//   return app.exec();
//
// - Form_Load is stage 1. It may call FrontEnd::ChooseLanguage (modal) and
//   FrontEnd::ShowMessage ("Velmar Web Server is already started", the port message).
//   A non-zero result means the program must end at once with that exit status, without
//   Form_QueryUnload and without a shutdown log line; 0 means the server listens.
// - Form_Activate is called by the front end at every activation of its main window.
//   The first call runs stage 2 (splash through FrontEnd::ShowSplash/SetSplashInfo,
//   receivers loaded, "Velmar Web Server Started" logged); the second removes the splash
//   (FrontEnd::CloseSplash); later calls do nothing. The console front end calls it
//   once from the event loop right after Start.
// - Form_QueryUnload is called when the main window is about to close (the user's close
//   with kUserClose; SIGTERM goes through main.cpp with kSystemShutdown). For the user's
//   close the core asks FrontEnd::AskYesNo itself. It returns true when the close is
//   cancelled; when it returns false the shutdown line has been logged and the caller
//   ends the program (QCoreApplication::exit, not quit, so that no second close event
//   asks again).
// - The served count reaches the front end through FrontEnd::ShowServedRequests after
//   every served request (and once with 0 from Form_Load). The sorted receiver names
//   reach it through FrontEnd::ReceiversChanged after every load of the list.
//
// Settings beyond the profile keys of the original design:
// - "HTTP"/"Headers" in "VELWEB.INI" (default 0): 1 puts an HTTP/1.0 status line and
//   header fields in front of every response body.
// - The environment variables VELWEB_REQUEST_TIMEOUT_MS (default 10000) and
//   VELWEB_SEND_TIMEOUT_MS (default 30000) override the connection time limits, and
//   VELWEB_IDLE_GRACE_MS (default 1000) how long a connection that has sent nothing
//   keeps the slot once another client waits.
#pragma once

#include <sys/stat.h>

#include <QLockFile>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "front_end.h"
#include "page_cache.h"
#include "receiver_file.h"
#include "socket_facility.h"
#include "version.h"

namespace vel {

class ResponseSender;

// Why the main window is about to close.
enum class UnloadReason { kUserClose = 0, kSystemShutdown = 2 };

struct ServerLimits {
  int requestTimeoutMs = 10000;  // a request must be complete within this time
  int sendTimeoutMs = 30000;     // a response must have drained within this time
  // A connection that has sent nothing yet gives way this long after another client
  // has begun to wait (browsers open connections ahead of time and may leave them idle).
  int idleGraceMs = 1000;
  size_t maxRequestBytes = 64 * 1024;
  static ServerLimits FromEnvironment();
};

class WebServerCore {
 public:
  static constexpr const char* kCaption = "Velmar Web Server";
  static constexpr const char* kVersion = kVersionText;

  explicit WebServerCore(ServerLimits limits = ServerLimits::FromEnvironment());
  ~WebServerCore();
  WebServerCore(const WebServerCore&) = delete;
  WebServerCore& operator=(const WebServerCore&) = delete;

  void SetFrontEnd(FrontEnd* frontEnd);

  int Form_Load();
  void Form_Activate();
  bool Form_QueryUnload(UnloadReason reason);

  int32_t ServedRequests() const { return ServedRequests_; }
  const std::vector<std::string>& ReceiverNames() const { return List_Receivers_; }
  uint16_t ListeningPort() const;
  bool HeadersEnabled() const { return Headers_; }

 private:
  // Connection slot.
  void Winsock_HTTP_Connect_ConnectionRequest(int32_t requestId);
  void Winsock_HTTP_DataArrival();
  void Winsock_HTTP_SendComplete();
  void Winsock_HTTP_Close();
  void Winsock_HTTP_Error();
  void EndConnection();

  // Request handling.
  void HandleRequest(const std::string& request);
  void SendNotFound();
  // False when `path` is no regular file or cannot be read; nothing is sent then.
  bool SendFile(const std::string& path, const std::string& extension);
  void SendPage(const std::string& path, const struct stat& info, const std::string& receivers,
                const std::string& message, bool handedOver);
  // A whole answer in memory, with the head for its extension when heads are on.
  void SendBody(const std::string& extension, std::shared_ptr<const std::string> body);
  void Submit(const std::string& request, std::string& receivers, std::string& message,
              bool& handedOver);
  void QueueResponse(std::unique_ptr<ResponseSender> sender);
  void PumpResponse();

  // Receivers.
  int16_t LoadReceivers();
  int16_t ShowReceivers();
  void Timer_ReLoad_Timer();
  void RecordReceiverFileState();

  // Time limits.
  void RequestTimedOut();
  void SendTimedOut();
  void IdleGraceOver();

  FrontEnd* frontEnd_ = nullptr;
  ServerLimits limits_;

  Winsock Winsock_HTTP_Connect;
  Winsock Winsock_HTTP;
  QTimer Timer_ReLoad;
  QTimer requestTimer_;
  QTimer sendTimer_;
  QTimer idleTimer_;
  std::unique_ptr<QLockFile> instanceLock_;

  std::vector<ReceiverRecord> Receivers_;
  int16_t ReceiverCount_ = 0;
  std::vector<std::string> List_Receivers_;
  int64_t ReceiverFileSize_ = 0;
  std::time_t ReceiverFileTime_ = 0;
  bool receiverFileKnown_ = false;
  uint64_t receiversGeneration_ = 0;  // bumped on every load of List_Receivers
  PageCache pageCache_;
  PageCache fileCache_;  // small files sent as they are (generation 0)

  std::string RequestBuffer_;
  bool CloseAfterSend_ = false;
  bool requestHandled_ = false;
  bool requestWithoutBody_ = false;  // the handled request ended with its header block
  int32_t ServedRequests_ = 0;
  std::unique_ptr<ResponseSender> sender_;

  bool StartupDone_ = false;
  bool SplashRemoved_ = false;
  bool Headers_ = false;
  bool closing_ = false;  // Form_QueryUnload has let the window close
};

}  // namespace vel
