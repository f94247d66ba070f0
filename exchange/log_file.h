// The log-file copy of a system-log entry.
//
// A log file is a text file with CR LF line ends that stays read-only (no write bits)
// except while an entry is appended. The caller holds the region lock, so lines of
// different processes never interleave and the file is read-only again before anyone
// else appends.
#ifndef VELMAR_LOG_FILE_H
#define VELMAR_LOG_FILE_H

namespace velmar {

// The text that stands for the separator block instead of a line.
constexpr char kSeparatorEntry[] = "-";

// Appends entry as one line (every line feed written as CR LF), or, for the entry "-",
// an empty line, 68 dashes and another empty line. A missing file is created. A file
// that cannot be opened gets nothing; nothing is reported. Only regular files have
// their permissions changed.
void AppendToLogFile(const char* path, const char* entry);

}  // namespace velmar

#endif  // VELMAR_LOG_FILE_H
