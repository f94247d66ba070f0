#include "velctl_cli.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "command_text.h"
#include "password_hash.h"

namespace velctl {

volatile sig_atomic_t g_stop = 0;

namespace {

void OnStopSignal(int) { g_stop = 1; }

}  // namespace

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool PrintLine(const std::string& line) {
  std::printf("%s\n", line.c_str());
  return std::fflush(stdout) == 0;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "velctl: %s\nTry 'velctl --help'.\n", message.c_str());
  return kUsage;
}

const vel::TerminalText* Terminal() { return &vel::ProcessTerminal(); }

bool TextArgument(const std::string& argument, std::string& bytes) {
  std::string converted;
  std::string error;
  if (!Terminal()->FromTerminal(argument, converted, error)) {
    std::fprintf(stderr, "velctl: \"%s\": %s\n", argument.c_str(), error.c_str());
    if (Terminal()->AsciiOnly())
      std::fprintf(stderr,
                   "velctl: write such bytes as \\xHH (Windows-1252), or use a UTF-8 "
                   "locale (for example LC_ALL=C.UTF-8)\n");
    return false;
  }
  bytes = UnescapeBytes(converted);
  return true;
}

bool ReadSecret(const char* prompt, std::string& line) {
  const bool terminal = isatty(STDIN_FILENO) == 1;
  termios saved{};
  if (terminal) {
    // Echo goes off before the prompt shows: nothing typed ahead of it is shown either.
    if (tcgetattr(STDIN_FILENO, &saved) == 0) {
      termios quiet = saved;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      quiet.c_lflag |= ECHONL;  // the line end still shows, so the next prompt starts anew
      tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    std::fputs(prompt, stderr);
    std::fflush(stderr);
  }
  line.clear();
  bool ended = false;
  for (int c; !g_stop && (c = std::getchar()) != EOF;) {
    if (c == '\n') {
      ended = true;
      break;
    }
    line += static_cast<char>(c);
  }
  if (terminal) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return !g_stop && (ended || !line.empty());
}

std::string AskNewPasswordHash() {
  std::string first, second;
  if (!ReadSecret("Password: ", first) || !ReadSecret("Again: ", second)) {
    std::fprintf(stderr, "velctl: no password read\n");
    return {};
  }
  if (first != second) {
    std::fprintf(stderr, "velctl: the two passwords differ\n");
    return {};
  }
  if (first.empty()) {
    std::fprintf(stderr, "velctl: an empty password protects nothing\n");
    return {};
  }
  const std::string hash = vel::HashPassword(first);
  if (hash.empty()) std::fprintf(stderr, "velctl: this system cannot make a yescrypt hash\n");
  return hash;
}

}  // namespace velctl
