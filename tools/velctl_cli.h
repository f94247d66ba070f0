// What the commands of velctl share: exit statuses, usage errors, the terminal that
// arguments come from and output goes to, the signals that end a command, and passwords
// read from standard input.
#ifndef VELCTL_CLI_H
#define VELCTL_CLI_H

#include <signal.h>

#include <string>

#include "terminal_text.h"

namespace velctl {

inline constexpr int kOk = 0;
inline constexpr int kFailed = 1;
inline constexpr int kUsage = 2;

// Set by an interrupt, a termination or a closed terminal (see CatchStopSignals).
extern volatile sig_atomic_t g_stop;

// Interrupt, termination and a closed terminal end a --follow loop, so that velctl
// leaves the region on its way out; a closed pipe shows as a failed write instead.
void CatchStopSignals();

// Prints one line; false when nobody reads the output any more.
bool PrintLine(const std::string& line);

// Prints the message with a pointer to --help; returns kUsage.
int UsageError(const std::string& message);

// The terminal that arguments come from and output goes to (see InitProcessTerminal).
const vel::TerminalText* Terminal();

// A TEXT or NAME argument as the Windows-1252 bytes it stands for: converted from the
// terminal's encoding, then \xHH and \\ read back into their bytes. False, with the
// reason printed, when it holds a character Windows-1252 cannot.
bool TextArgument(const std::string& argument, std::string& bytes);

// One line from standard input, without its line end; on a terminal after `prompt`
// and without echo. False at the end of input or on an interrupt.
bool ReadSecret(const char* prompt, std::string& line);

// A password asked twice (ReadSecret) and its hash. Empty, with the reason printed, when
// none was read, the two differ, it is empty or no hash can be made.
std::string AskNewPasswordHash();

}  // namespace velctl

#endif  // VELCTL_CLI_H
