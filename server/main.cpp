// velweb: the Velmar web server. Shows its windows when a display is there, and runs on
// the console otherwise or with --headless.
#include <signal.h>

#include <QApplication>
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "console_front_end.h"
#include "exchange_worker.h"
#include "profile_keys.h"
#include "signal_bridge.h"
#include "start_settings.h"
#include "terminal_text.h"
#include "web_server_core.h"
#include "windows_front_end.h"

namespace {

void PrintHelp() {
  std::printf(
      "Usage: velweb [--headless] [--check] [--help] [--version]\n"
      "Velmar Web Server: serves the pages of its program directory and passes posted\n"
      "messages to the alarm server.\n\n"
      "  --headless  run on the console even when a display is there\n"
      "  --check     read the profile, language, receiver file and pages as a start\n"
      "              would, print every warning and error, and exit 0 (it would start)\n"
      "              or 1, without listening or writing anything; run it after an edit\n"
      "  --help      show this text\n"
      "  --version   show the version\n\n"
      "Settings are in VELWEB.INI beside the program (defaults in brackets):\n%s"
      "\nPrograms may post JSON: {\"receivers\": [...], \"message\": \"...\"} (see velweb(1)).\n"
      "SIGTERM and SIGHUP end the server as a system shutdown; SIGINT asks first on a\n"
      "terminal.\n"
      "On the console the served count is a status line on a terminal and a last line\n"
      "when the server stops; texts are shown in the locale's encoding (see velweb(1)).\n\n"
      "Connection limits, in milliseconds, from the environment:\n"
      "  VELWEB_REQUEST_TIMEOUT_MS  a request must be complete this long after its\n"
      "                             connection (10000)\n"
      "  VELWEB_SEND_TIMEOUT_MS     an answer is abandoned, with a reset, once the client\n"
      "                             has taken none of it for this long (30000)\n"
      "  VELWEB_IDLE_GRACE_MS       a connection that has sent nothing for this long is\n"
      "                             the first closed when every place is taken (1000)\n",
      vel::ProfileKeysHelp().c_str());
}

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  bool headless = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      PrintHelp();
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("velweb %s\n", vel::WebServerCore::kVersion);
      return 0;
    }
    if (std::strcmp(argv[i], "--check") == 0) {
      vel::InitProcessTerminal();
      return vel::CheckProgramDirectory(stdout);
    }
    if (std::strcmp(argv[i], "--headless") == 0) {
      headless = true;
      continue;
    }
    std::fprintf(stderr, "velweb: unknown option %s (see velweb --help)\n", argv[i]);
    return 2;
  }
  // A client that goes away while we write must not end the server.
  signal(SIGPIPE, SIG_IGN);
  // The console's encoding as the environment gives it, before Qt starts: Qt switches a
  // locale that is not UTF-8 to UTF-8, but the terminal stays what it is.
  vel::InitProcessTerminal();

  const bool windows = !headless && HasDisplay();
  // On the console, Qt's own event dispatcher rather than GLib's: it wakes the loop once
  // per round instead of once per posted event, which saves a third of the system calls
  // each connection costs. The windows keep the default, which desktop themes expect.
  if (!windows && !qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
  std::unique_ptr<QCoreApplication> app;
  if (windows) {
    app = std::make_unique<QApplication>(argc, argv);
  } else {
    app = std::make_unique<QCoreApplication>(argc, argv);
  }

  vel::WebServerCore core;
  std::unique_ptr<vel::FrontEnd> frontEnd;
  const vel::CoreHandlers handlers{
      [&core] { core.Form_Activate(); },
      [&core] { return core.Form_QueryUnload(vel::UnloadReason::kUserClose); },
      [&core] { return core.ServedRequests(); }, [&core] { return core.ListeningPort(); }};
  if (windows) {
    frontEnd = std::make_unique<vel::WindowsFrontEnd>(handlers);
  } else {
    frontEnd = std::make_unique<vel::ConsoleFrontEnd>(handlers);
  }
  core.SetFrontEnd(frontEnd.get());

  if (const int status = core.Form_Load(); status != 0) return status;

  // SIGTERM is the system's shutdown (no question), and so is SIGHUP: the terminal that
  // could be asked is gone. SIGINT is the user's close.
  // A second Ctrl-C while the close question stands is not asked again; the system's
  // shutdown goes through.
  bool asking = false;
  std::string stopReason = "the main window was closed";
  vel::SignalBridge signalBridge([&core, &asking, &stopReason](int signal) {
    const bool system = signal == SIGTERM || signal == SIGHUP;
    if (asking && !system) return;
    const auto reason = system ? vel::UnloadReason::kSystemShutdown : vel::UnloadReason::kUserClose;
    const bool outer = !asking;
    asking = true;
    const bool cancelled = core.Form_QueryUnload(reason);
    if (outer) asking = false;
    if (!cancelled) {
      stopReason = signal == SIGTERM  ? "shut down by the system (SIGTERM)"
                   : signal == SIGHUP ? "its terminal was closed (SIGHUP)"
                                      : "closed by the user (SIGINT)";
      QCoreApplication::exit(0);
    }
  });

  frontEnd->Start();
  const int status = app->exec();
  // What the exchange still has to do (keeping the waiting messages) is done while the
  // front end is there to show its warnings.
  vel::ExchangeWorker::Instance().Finish();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
  frontEnd->Stopped(stopReason);
  core.SetFrontEnd(nullptr);
  return status;
}
