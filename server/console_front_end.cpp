#include "console_front_end.h"

#include <unistd.h>

#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdlib>

#include "language_files.h"
#include "vel_proc.h"
#include "web_server_core.h"

namespace vel {

namespace {
constexpr int kServedPauseMs = 100;
}  // namespace

ConsoleFrontEnd::ConsoleFrontEnd(WebServerCore& core, std::FILE* in, std::FILE* out, std::FILE* err)
    : core_(core), in_(in), out_(out), err_(err) {
  servedPause_.setSingleShot(true);
  QObject::connect(&servedPause_, &QTimer::timeout, [this] {
    if (servedToShow_ == servedShown_) return;
    PrintServed();
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
  if (servedPause_.isActive()) return;  // printed when the pause is over
  PrintServed();
  servedPause_.start(kServedPauseMs);
}

void ConsoleFrontEnd::PrintServed() {
  servedShown_ = servedToShow_;
  std::fprintf(out_, "Served requests: %d\n", servedShown_);
  std::fflush(out_);
}

void ConsoleFrontEnd::ShowMessage(const std::string& text, MessageIcon) {
  std::fprintf(err_, "%s: %s\n", WebServerCore::kCaption, text.c_str());
  std::fflush(err_);
}

bool ConsoleFrontEnd::AskYesNo(const std::string& text) {
  if (!Interactive()) return true;  // nobody to ask: the close stands
  std::fprintf(err_, "\n%s [y/N] ", text.c_str());
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
  if (!answered) return true;  // the terminal went away: nobody to keep it running
  return answer[0] == 'y' || answer[0] == 'Y';
}

void ConsoleFrontEnd::ChooseLanguage(const std::string& programDir) {
  const std::vector<LanguageChoice> languages = FindLanguages(programDir);
  if (!Interactive()) {
    std::fprintf(err_,
                 "%s: no language is chosen. Set Language in section [General] of VELWEB.INI "
                 "(for example Language=001), or start on a terminal to choose one.\n",
                 WebServerCore::kCaption);
    return;
  }
  if (languages.empty()) {
    std::fprintf(err_, "%s: no language files (vel_lang.NNN) in %s\n", WebServerCore::kCaption,
                 programDir.c_str());
    return;
  }
  std::fprintf(err_, "Velmar - Select Language\n");
  for (size_t i = 0; i < languages.size(); ++i) {
    std::fprintf(err_, "  %zu) %s\n", i + 1, languages[i].name.c_str());
  }
  std::fprintf(err_, "Number: ");
  std::fflush(err_);
  std::string answer;
  if (!ReadLine(answer)) return;
  const long choice = std::strtol(answer.c_str(), nullptr, 10);
  if (choice < 1 || static_cast<size_t>(choice) > languages.size()) return;
  WriteProfileString("General", "Language",
                     LanguageCodeText(languages[static_cast<size_t>(choice) - 1].code),
                     "VELWEB.INI");
}

void ConsoleFrontEnd::ShowSplash(const std::string&, const std::string&, const std::string& info) {
  SetSplashInfo(info);
}

void ConsoleFrontEnd::SetSplashInfo(const std::string& info) {
  std::fprintf(out_, "%s\n", info.c_str());
  std::fflush(out_);
}

void ConsoleFrontEnd::ReceiversChanged(const std::vector<std::string>& sortedNames) {
  std::fprintf(out_, "Receivers: %zu\n", sortedNames.size());
  std::fflush(out_);
}

void ConsoleFrontEnd::Start() {
  std::fprintf(out_, "%s %s listening on port %u\n", WebServerCore::kCaption,
               WebServerCore::kVersion, static_cast<unsigned>(core_.ListeningPort()));
  std::fflush(out_);
  // There is no window to activate: stage 2 runs as the first event of the loop.
  QTimer::singleShot(0, [this] { core_.Form_Activate(); });
}

}  // namespace vel
