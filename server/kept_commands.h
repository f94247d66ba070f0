// Messages the alarm server has not taken yet, kept over a clean end of the server.
//
// The shared region vanishes with the last program attached to it. When velweb ends
// cleanly while it is that program (the alarm server is not running), the commands
// still waiting would vanish with it, though every sender was told that the message
// was sent. They are taken out and kept in the file "vel_kept.dat" of the program
// directory, each followed by the byte 0xFF as in the command buffer, and handed back,
// in their order, at the next start before any new message. When another program is
// attached, nothing is taken out: the region outlives velweb. What only memory held is
// still lost in a crash.
//
// Both run on the exchange thread (they call the library) and log what they did.
#pragma once

#include <string>
#include <vector>

namespace vel {

inline constexpr const char* kKeptCommandsFile = "vel_kept.dat";

// At a clean end, before the shutdown line is logged.
void KeepWaitingCommands();

// At the start, once the server listens, before any message is handed over.
void HandBackKeptCommands();

// The file's bytes for `commands`, and the commands of such bytes.
std::string KeptCommandsBytes(const std::vector<std::string>& commands);
std::vector<std::string> KeptCommands(const std::string& bytes);

}  // namespace vel
