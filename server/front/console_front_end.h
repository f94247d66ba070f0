// The front end without windows (no display, or --headless): message boxes become a
// line on standard error, the question and the language choice are asked on the
// terminal when standard input is one, and the served count is shown on standard
// output. There is no splash; its status lines are printed instead.
//
// The served count is kept quiet:
// - On a terminal it is one status line, "Served requests: N", rewritten in place at
//   once and then at most every 100 ms while requests keep coming (the last count always
//   follows). Any other line first clears it, and it is drawn again below that line.
// - Elsewhere (a file, a pipe, the journal) nothing is printed per request.
// - Either way, when the server stops a last line gives the reason and the count:
//   "Velmar Web Server stopped: shut down by the system (SIGTERM). Served requests: N".
//
// Texts of the program (language texts, language names) are Windows-1252; they reach
// the console in the terminal's encoding (see terminal_text.h).
#pragma once

#include <QTimer>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "front_end.h"
#include "terminal_text.h"

namespace vel {

class ConsoleFrontEnd : public FrontEnd {
 public:
  // The console asks the core to activate, and for the count and the port.
  using CoreHandlers = vel::CoreHandlers;

  // `in`, `out` and `err` default to the process's standard streams, `terminal` to the
  // process's terminal encoding; tests pass their own.
  explicit ConsoleFrontEnd(CoreHandlers core, std::FILE* in = stdin, std::FILE* out = stdout,
                           std::FILE* err = stderr,
                           const TerminalText& terminal = ProcessTerminal());

  void ShowServedRequests(int32_t count) override;
  void ShowMessage(const std::string& text, MessageIcon icon) override;
  bool AskYesNo(const std::string& text) override;
  void ChooseLanguage(const std::string& programDir) override;
  void ShowSplash(const std::string& caption, const std::string& panel,
                  const std::string& info) override;
  void SetSplashInfo(const std::string& info) override;
  void CloseSplash() override {}
  void SetBusy(bool) override {}
  void Start() override;
  void ReceiversChanged(const std::vector<std::string>& sortedNames) override;
  void ShowWarning(const std::string& text) override;
  void ShowNotice(const std::string& text) override;
  void Stopped(const std::string& reason) override;

 private:
  bool Interactive() const;
  bool ReadLine(std::string& line);
  // Prints `text` (already in the terminal's encoding) on `stream`, below the status line.
  void PrintLine(std::FILE* stream, const std::string& text);
  void ClearStatus();
  void DrawStatus();

  CoreHandlers core_;
  std::FILE* in_;
  std::FILE* out_;
  std::FILE* err_;
  const TerminalText& terminal_;
  const bool statusLine_;  // standard output is a terminal
  QTimer servedPause_;
  int32_t servedToShow_ = 0;
  int32_t servedShown_ = -1;
  size_t statusWidth_ = 0;  // characters of the status line on the screen, 0: none
  bool asking_ = false;     // a question waits for its answer after its prompt
};

}  // namespace vel
