// What the web server core needs from whoever shows it to a person: the Qt Widgets
// windows when a display is there, the console otherwise. The core (Vel_WebServ) calls
// these from the one event-loop thread; none of them may run the core re-entrantly
// except through the event loop (a modal dialog's local loop is fine).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace vel {

// The caption of every window and message, and the name the console lines give.
inline constexpr const char* kProgramCaption = "Velmar Web Server";

enum class MessageIcon { Warning, Question };

// What a front end asks of the core that drives it (each asks what it needs).
struct CoreHandlers {
  std::function<void()> formActivate;
  std::function<bool()> formQueryUnload;  // the user's close; true cancels it
  std::function<int32_t()> servedRequests;
  std::function<uint16_t()> listeningPort;
};

class FrontEnd {
 public:
  virtual ~FrontEnd() = default;

  // Label_Reqs: the served-requests count as a plain decimal number.
  virtual void ShowServedRequests(int32_t count) = 0;

  // A message box with an OK button, caption "Velmar Web Server". Returns when closed.
  virtual void ShowMessage(const std::string& text, MessageIcon icon) = 0;

  // A question with Yes and No (question icon). True for Yes.
  virtual bool AskYesNo(const std::string& text) = 0;

  // The language window, modal: lists the language files of `programDir` and writes the
  // chosen code to the profile. Returns when it has closed, whatever the outcome.
  virtual void ChooseLanguage(const std::string& programDir) = 0;

  // The splash (about window) during stage 2. Texts are 8-bit (Windows-1252).
  virtual void ShowSplash(const std::string& caption, const std::string& panel,
                          const std::string& info) = 0;
  virtual void SetSplashInfo(const std::string& info) = 0;
  virtual void CloseSplash() = 0;

  // The busy pointer while the receivers load.
  virtual void SetBusy(bool busy) = 0;

  // Called once by main.cpp after a successful Form_Load: show the main window (its
  // activations call WebServerCore::Form_Activate). The console front end calls
  // Form_Activate itself from the event loop.
  virtual void Start() {}

  // List_Receivers changed: the names in their sorted order (for a front end that
  // mirrors the hidden list box).
  virtual void ReceiversChanged(const std::vector<std::string>& sortedNames) = 0;

  // The event loop has ended after a confirmed close; `reason` says who closed it
  // ("shut down by the system (SIGTERM)"). The console reports it with the served count.
  virtual void Stopped(const std::string& /*reason*/) {}

  // Something the server cannot do while it runs (a log line that could not be written):
  // a line on standard error, "Warning: " in front.
  virtual void ShowWarning(const std::string& text) {
    std::fprintf(stderr, "Warning: %s\n", text.c_str());
    std::fflush(stderr);
  }

  // A line for the person who runs the server about how the work goes (the alarm server
  // stopped or started again taking messages), on standard error as it stands.
  virtual void ShowNotice(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
  }
};

}  // namespace vel
