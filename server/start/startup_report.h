// What the server finds wrong while it starts, said where a person looks: every warning
// goes to standard error at once (in the terminal's encoding, "Warning: " in front) and,
// once the log has its first line, into the log through WriteLog as well. Nothing here
// stops the start; each check only looks.
//
//   StartupReport report;
//   report.CheckProgramDir(ProgramDir());     // before anything is written there
//   ...                                       // language, instance, profile checks
//   WriteLog("Velmar Web Server is starting");
//   report.WriteToLog();
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "terminal_text.h"

namespace vel {

class StartupReport {
 public:
  explicit StartupReport(std::FILE* err = stderr, const TerminalText& terminal = ProcessTerminal());

  // A warning (Windows-1252 text): on standard error now, in the log at WriteToLog.
  void Warn(const std::string& text);
  // A hint for standard error only ("Note: " in front).
  void Note(const std::string& text);

  // The program directory must be writable for the daily log and the profile.
  void CheckProgramDir(const std::string& dir);
  // Root in a directory that belongs to a service's account (its owner or group is not
  // root's): what it writes now becomes root's, and the service cannot write it later.
  void CheckAccount(const std::string& dir);
  // Sections and keys of the profile `fileName` (in the program directory) that the
  // server does not read as they may have been meant (see profile_keys.h). Returns the
  // mistakes about [Access], which are not warned about: they stop the start.
  std::vector<std::string> CheckProfile(const std::string& fileName);
  // libVelmar.so must load, or no message is passed on and nothing is logged.
  void CheckLibrary();
  // A receiver file (in the program directory) whose receivers are not all read.
  void CheckReceiverFile(const std::string& fileName);
  // For velweb --check: the pages of the program directory can be read, INDEX.HTM is
  // among them; libVelmar.so is there and readable (it is not loaded: that would join
  // the shared region).
  void CheckPages();
  void CheckLibraryFile();

  size_t Warnings() const { return warnings_.size(); }

  // Writes the warnings so far into the log, each as a line of its own.
  void WriteToLog();

 private:
  std::FILE* err_;
  const TerminalText& terminal_;
  std::vector<std::string> warnings_;
};

}  // namespace vel
