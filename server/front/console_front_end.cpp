#include "console_front_end.h"

#include <unistd.h>

#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdlib>

#include "language_files.h"
#include "vel_proc.h"
#include "version.h"

namespace vel {

namespace {
constexpr int kServedPauseMs = 100;
}  // namespace

ConsoleFrontEnd::ConsoleFrontEnd(CoreHandlers core, std::FILE* in, std::FILE* out, std::FILE* err,
                                 const TerminalText& terminal)
    : core_(std::move(core)),
      in_(in),
      out_(out),
      err_(err),
      terminal_(terminal),
      statusLine_(isatty(fileno(out)) == 1) {
  servedPause_.setSingleShot(true);
  QObject::connect(&servedPause_, &QTimer::timeout, [this] {
    if (servedToShow_ == servedShown_) return;
    DrawStatus();
    servedPause_.start(kServedPauseMs);
  });
}

// A terminal we may read from: standard input is one and we are in its foreground (a
// background job that reads its terminal would be stopped).
bool ConsoleFrontEnd::Interactive() const {
  const int fd = fileno(in_);
  return isatty(fd) == 1 && tcgetpgrp(fd) == getpgrp();
}

bool ConsoleFrontEnd::ReadLine(std::string& line) {
  line.clear();
  int c;
  while ((c = std::fgetc(in_)) != EOF && c != '\n') line += static_cast<char>(c);
  return c != EOF || !line.empty();
}

void ConsoleFrontEnd::ShowServedRequests(int32_t count) {
  servedToShow_ = count;
  if (!statusLine_) return;             // no line per request where nobody watches it change
  if (servedPause_.isActive()) return;  // drawn when the pause is over
  DrawStatus();
  servedPause_.start(kServedPauseMs);
}

void ConsoleFrontEnd::DrawStatus() {
  if (!statusLine_ || asking_) return;
  servedShown_ = servedToShow_;
  const std::string status = "Served requests: " + std::to_string(servedShown_);
  // The count only grows, so the new text covers the old one.
  std::fprintf(out_, "\r%s", status.c_str());
  std::fflush(out_);
  statusWidth_ = status.size();
}

void ConsoleFrontEnd::ClearStatus() {
  if (statusWidth_ == 0) return;
  std::fprintf(out_, "\r%s\r", std::string(statusWidth_, ' ').c_str());
  std::fflush(out_);
  statusWidth_ = 0;
}

void ConsoleFrontEnd::PrintLine(std::FILE* stream, const std::string& text) {
  ClearStatus();
  std::fprintf(stream, "%s\n", text.c_str());
  std::fflush(stream);
  if (servedShown_ >= 0) DrawStatus();
}

void ConsoleFrontEnd::ShowMessage(const std::string& text, MessageIcon) {
  PrintLine(err_, std::string(kProgramCaption) + ": " + terminal_.ToTerminal(text));
}

void ConsoleFrontEnd::ShowWarning(const std::string& text) {
  PrintLine(err_, "Warning: " + terminal_.ToTerminal(text));
}

void ConsoleFrontEnd::ShowNotice(const std::string& text) {
  PrintLine(err_, terminal_.ToTerminal(text));
}

bool ConsoleFrontEnd::AskYesNo(const std::string& text) {
  if (!Interactive()) return true;  // nobody to ask: the close stands
  ClearStatus();
  asking_ = true;
  std::fprintf(err_, "\n%s [y/N] ", terminal_.ToTerminal(text).c_str());
  std::fflush(err_);
  // Wait for the answer in a local event loop, so that the server keeps serving while
  // the question stands, as it does behind a modal message box.
  std::string answer;
  bool answered = false;
  QEventLoop loop;
  QSocketNotifier notifier(fileno(in_), QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, &loop, [&] {
    char buffer[256];
    const ssize_t n = read(fileno(in_), buffer, sizeof buffer);
    if (n > 0) answer.assign(buffer, static_cast<size_t>(n));
    answered = n > 0;
    loop.quit();
  });
  loop.exec();
  asking_ = false;
  if (!answered) return true;  // the terminal went away: nobody to keep it running
  const bool yes = answer[0] == 'y' || answer[0] == 'Y';
  if (!yes && servedShown_ >= 0) DrawStatus();
  return yes;
}

void ConsoleFrontEnd::ChooseLanguage(const std::string& programDir) {
  const std::vector<LanguageChoice> languages = FindLanguages(programDir);
  // A language named but not there is said as it is, not as no choice at all.
  if (const std::string problem = LanguageProblem(); !problem.empty()) {
    std::fprintf(err_, "%s: %s\n", kProgramCaption, terminal_.ToTerminal(problem).c_str());
    if (!Interactive()) return;
  }
  if (!Interactive()) {
    std::fprintf(err_,
                 "%s: no language is chosen. Set Language in section [General] of VELWEB.INI "
                 "(for example Language=001), or start on a terminal to choose one.\n",
                 kProgramCaption);
    return;
  }
  if (languages.empty()) {
    std::fprintf(err_, "%s: no language files (vel_lang.NNN) in %s\n", kProgramCaption,
                 programDir.c_str());
    return;
  }
  std::fprintf(err_, "Velmar - Select Language\n");
  for (size_t i = 0; i < languages.size(); ++i) {
    std::fprintf(err_, "  %zu) %s\n", i + 1, terminal_.ToTerminal(languages[i].name).c_str());
  }
  std::fprintf(err_, "Number: ");
  std::fflush(err_);
  std::string answer;
  if (!ReadLine(answer)) return;
  const long choice = std::strtol(answer.c_str(), nullptr, 10);
  if (choice < 1 || static_cast<size_t>(choice) > languages.size()) return;
  SaveLanguageChoice(languages[static_cast<size_t>(choice) - 1].code);
}

void ConsoleFrontEnd::ShowSplash(const std::string&, const std::string&, const std::string& info) {
  SetSplashInfo(info);
}

void ConsoleFrontEnd::SetSplashInfo(const std::string& info) {
  PrintLine(out_, terminal_.ToTerminal(info));
}

void ConsoleFrontEnd::ReceiversChanged(const std::vector<std::string>& sortedNames) {
  PrintLine(out_, "Receivers: " + std::to_string(sortedNames.size()));
}

void ConsoleFrontEnd::Stopped(const std::string& reason) {
  servedPause_.stop();
  ClearStatus();
  std::fprintf(out_, "%s stopped: %s. Served requests: %d\n", kProgramCaption, reason.c_str(),
               core_.servedRequests());
  std::fflush(out_);
}

void ConsoleFrontEnd::Start() {
  PrintLine(out_, std::string(kProgramCaption) + " " + kVersionText + " listening on port " +
                      std::to_string(core_.listeningPort()));
  // There is no window to activate: stage 2 runs as the first event of the loop.
  QTimer::singleShot(0, [this] { core_.formActivate(); });
}

}  // namespace vel
