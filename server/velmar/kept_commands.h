// Messages the alarm server has not taken yet, kept over a clean end of the server.
//
// The shared region vanishes with the last program attached to it. When velweb ends
// cleanly while it is that program (the library says so; the alarm server is not
// running), the commands still waiting would vanish with it, though every sender was
// told that the message was sent. They are taken out and appended to the file
// "vel_kept.dat" of the program directory, each followed by the byte 0xFF as in the
// command buffer, and handed back, in their order, at the next start before any new
// message. When another program is attached, nothing is taken out: the region outlives
// velweb. What only memory held is still lost in a crash.
//
// The order holds over any number of stops and starts: while kept messages wait in the
// file (the buffer took only some of them), they get another try every second and
// before each new message, and a new message finds the buffer full until none waits. At
// a stop, what the buffer still holds was handed over before what waits in the file, so
// it goes in front of it. The file never grows past kKeptFileLimit: what a stop cannot
// keep within it is said in the log and, each message with its receivers and text, on
// standard error.
//
// The file is read only when it is a regular file named without a symbolic link, and
// only up to kKeptFileLimit bytes; it is opened without waiting, so a FIFO of that name
// holds up nothing. Each entry is marked as handed back (its bytes overwritten with
// 0xFF, which reads as nothing) as soon as the library has stored it: a kill in the
// middle repeats at most the entry in flight. An entry that can never be handed back
// (longer than the command buffer takes, holding a zero byte, or cut short at the end of
// the file) is moved to "vel_kept.bad" in the same form, with a log line, and holds up
// nothing behind it.
//
// Both run on the exchange thread (they call the library) and log what they did.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vel {

inline constexpr const char* kKeptCommandsFile = "vel_kept.dat";
inline constexpr const char* kSetAsideCommandsFile = "vel_kept.bad";
inline constexpr size_t kKeptFileLimit = size_t{1} << 20;

// At a clean end, before the shutdown line is logged. `keepOf` (when given) says which of
// the commands taken out are to be kept in the file: the rest is kept elsewhere.
void KeepWaitingCommands(
    const std::function<std::vector<std::string>(const std::vector<std::string>&)>& keepOf = {});

// At the start, once the server listens, before any message is handed over.
void HandBackKeptCommands();

// Another try for the kept messages that still wait (nothing when none does), with a
// log line only when some were handed back.
void HandBackWaitingKeptCommands();

// SetCommandEntry for a new message, behind the kept messages: 0 (the buffer is full
// for it) while some still wait after another try.
std::optional<int32_t> StoreCommandBehindKept(const std::string& command);

// A command entry for a person: "to A, B: the message" ("FT:", the receivers ended by
// 0xFE, the message).
std::string DescribeCommand(const std::string& command);

// Messages kept at clean stops, and handed back at starts, since this process began;
// read from any thread.
uint64_t KeptCommandsTotal();
uint64_t HandedBackCommandsTotal();

// The file's bytes for `commands`.
std::string KeptCommandsBytes(const std::vector<std::string>& commands);

// What one hand-back of the file `path` did.
struct HandBackOutcome {
  bool read = false;    // the file was there and could be read; else `why` says why not
  std::string why;      // the reason the file was not read, or "" when it does not exist
  size_t handed = 0;    // entries `hand` took
  size_t setAside = 0;  // entries moved to the set-aside file
  size_t left = 0;      // entries that still wait in the file
};

// Hands the entries of `path` to `hand` in their order, each marked in the file as soon
// as `hand` has taken it; stops at the first that `hand` refuses. Entries that can never
// be handed back are appended to `setAsidePath`. The file goes once nothing is left.
HandBackOutcome HandBackKeptFile(const std::string& path, const std::string& setAsidePath,
                                 const std::function<bool(const std::string&)>& hand);

// Appends `bytes` to the regular file `path` (made 0640 when missing) whole or not at
// all. Anything else under that name (a link, a FIFO) is taken away first. False, with
// errno telling why, when it could not be written.
bool AppendToKeptFile(const std::string& path, const std::string& bytes);

// Puts `commands` in front of what the kept file `path` holds, as many of them as fit
// within kKeptFileLimit, in their order; the ones that do not fit come back in
// `notKept`. False, with errno telling why, when the file could not be written (then
// every one of `commands` is in `notKept`).
bool KeepInFront(const std::string& path, const std::vector<std::string>& commands,
                 std::vector<std::string>& notKept);

}  // namespace vel
