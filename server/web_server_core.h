// The web server core: the state and event handlers of the main window Vel_WebServ,
// without any widget. It starts the server (Form_Load, Form_Activate) and stops it
// (Form_QueryUnload), and takes each complete request from the connection table
// (connection_table.h) to its answer: a status request to the monitor (monitor.h), the
// access checks (access_policy.h), then a page or file (answers.h) or a posted message
// (hand_over.h). Everything runs on the one Qt event-loop thread, but for the calls into
// the exchange library (exchange_worker.h) and the password hashes (password_hasher.h).
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
// Connections: many are open at once, each with its own request buffer, time limits and
// answer in flight; complete requests are handled one at a time, in the order in which
// they became complete. A posted message goes to the alarm server through the exchange
// thread, and its answer waits for the result while other clients are served: a program
// of the family that holds the region lock never keeps pages from being served.
//
// Settings: every key of "VELWEB.INI" is a row of the table in profile_keys.h, with
// its default and meaning; start_settings.h reads them and says what stops a start.
// - Headers=1 puts an HTTP/1.0 status line and header fields in front of every response
//   body; the status tells what became of the request (see SubmitOutcome, and 401, 403
//   and 404).
// - [Access]: who may send, and how often (access_policy.h). Passwords are hashed on a
//   thread of their own (password_hasher.h). A POST of application/json is a message
//   from a program, answered in JSON (json_message.h); so are a POST of text/plain, and
//   the notifications that Alertmanager and Grafana post to /alertmanager and /grafana
//   (alert_webhooks.h), which always get a status line. A post that a browser marks as
//   sent by another site is refused whatever the keys (cross_site.h).
// - StallSeconds, LogDays and [Status] From: see monitor.h.
// - The environment variables VELWEB_REQUEST_TIMEOUT_MS (default 10000: a request must
//   be complete this long after its connection), VELWEB_SEND_TIMEOUT_MS (default 30000:
//   an answer is abandoned, with a reset, once the client has taken nothing of it for
//   this long) and VELWEB_IDLE_GRACE_MS (default 1000: how long a connection that has
//   sent nothing is spared when room must be made for a new one).
#pragma once

#include <QLockFile>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <memory>

#include "access_policy.h"
#include "answers.h"
#include "connection_table.h"
#include "exchange_worker.h"
#include "front_end.h"
#include "hand_over.h"
#include "host_names.h"
#include "monitor.h"
#include "outbox_feeder.h"
#include "password_hasher.h"
#include "receiver_list.h"
#include "request.h"
#include "user_accounts.h"
#include "version.h"

namespace vel {

// Why the main window is about to close.
enum class UnloadReason { kUserClose = 0, kSystemShutdown = 2 };

class WebServerCore {
 public:
  static constexpr const char* kCaption = kProgramCaption;
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
  uint16_t ListeningPort() const;

 private:
  void ConnectionEnded(int index, EndReason reason);
  // A whole request: a status request, else the [Access] checks, then Serve.
  void HandleRequest(int index, const HttpRequest& request);
  // The [Access] checks of a request; false when it was refused and answered, or waits
  // for its password to be checked (then Concluded later).
  bool Admit(int index, const HttpRequest& request);
  // Logs the lines of `decision`; true when it lets the request in, else refuses it.
  bool Concluded(int index, const HttpRequest& request, const AccessPolicy::Decision& decision);
  // What HandleRequest does once the request is admitted: a page, a file, or a post.
  void Serve(int index, const HttpRequest& request);

  // First, so that it is there for every other member and goes after them.
  ExchangeScope exchange_;  // the exchange thread: every call into libVelmar.so
  FrontEnd* frontEnd_ = nullptr;

  ConnectionTable table_;    // the connections: Winsock_HTTP_Connect, Winsock_HTTP
  QObject exchangeReplies_;  // the exchange thread's results arrive through it
  std::unique_ptr<QLockFile> instanceLock_;

  ReceiverList receivers_;  // the receiver file's names, loaded again when it changes
  AccessPolicy access_;     // the [Access] keys, and what they keep per client
  UserAccounts users_;      // VELWEB.USR, looked at every kUsersLookMs
  QTimer usersTimer_;
  static constexpr int kUsersLookMs = 1000;
  static constexpr size_t kHistoryRows = 500;  // the newest messages a history page lists
  Monitor monitor_;    // the alarm server's stall watch, metrics, health, systemd
  Answers answers_;    // pages, files and refusals
  HostNames hosts_;    // with status lines: the names a request may give as its Host
  HandOver handOver_;  // posted messages on their way to the alarm server
  // With [Outbox] Size: the messages accepted, until the alarm server takes them. Before
  // the replies' context goes, its writer has ended.
  std::unique_ptr<OutboxFeeder> outbox_;

  int32_t ServedRequests_ = 0;

  // Form_Activate's progress: stage 2 runs at the first activation, the splash goes at
  // the second.
  enum class Activation { kNone, kStarted, kSplashRemoved } activation_ = Activation::kNone;
  bool Headers_ = false;
  QObject passwordReplies_;  // the password thread's results arrive through it
  std::unique_ptr<PasswordHasher> passwordHasher_;  // with a password set
  bool closing_ = false;                            // Form_QueryUnload has let the window close
};

}  // namespace vel
