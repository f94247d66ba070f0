// The front end without windows (no display, or --headless): message boxes become a
// line on standard error, the question and the language choice are asked on the
// terminal when standard input is one, and the served count is printed on standard
// output. There is no splash; its status lines are printed instead.
//
// The served count is printed at once, and then at most every 100 ms while requests keep
// coming (the last count always follows): a line per request would cost a write per
// request when the server is busiest.
#pragma once

#include <QTimer>
#include <cstdio>
#include <string>

#include "front_end.h"

namespace vel {

class WebServerCore;

class ConsoleFrontEnd : public FrontEnd {
 public:
  // `in` and `out` default to the process's standard input and output; tests pass files.
  explicit ConsoleFrontEnd(WebServerCore& core, std::FILE* in = stdin, std::FILE* out = stdout,
                           std::FILE* err = stderr);

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

 private:
  bool Interactive() const;
  bool ReadLine(std::string& line);
  void PrintServed();

  WebServerCore& core_;
  std::FILE* in_;
  std::FILE* out_;
  std::FILE* err_;
  QTimer servedPause_;
  int32_t servedToShow_ = 0;
  int32_t servedShown_ = -1;
};

}  // namespace vel
