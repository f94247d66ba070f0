// The log-file copy of a system-log entry.
//
// A log file is a text file with CR LF line ends that stays read-only (no write bits)
// except while an entry is appended. The copy is written without the region lock, so it
// must neither wait nor let lines of different processes mix:
// - each entry leaves in one write() of the whole line to a file opened for appending,
//   so lines never interleave and a full disk loses whole lines, never parts (a write
//   cut short is taken back);
// - the name is opened without following a symbolic link and without blocking: a FIFO
//   without a reader costs nothing, a device is skipped without being opened;
// - the write bit is added only when the open is refused for want of it, and the open
//   tried again should another process have taken the bit away in between.
#ifndef VELMAR_LOG_FILE_H
#define VELMAR_LOG_FILE_H

namespace velmar {

// The text that stands for the separator block instead of a line.
constexpr char kSeparatorEntry[] = "-";

// Appends entry as one line (every line feed written as CR LF), or, for the entry "-",
// an empty line, 68 dashes and another empty line. A missing file is created. Returns 0
// when the whole line was written, else an errno value: why the file could not be
// opened (ELOOP for a symbolic link, ENXIO for a FIFO without a reader, EINVAL for a
// name that is neither a regular file nor a FIFO) or written (ENOSPC also for a write
// cut short). Only regular files have their permissions changed.
int AppendToLogFile(const char* path, const char* entry);

}  // namespace velmar

#endif  // VELMAR_LOG_FILE_H
