/* Velmar: the shared exchange library of the Velmar product family.
 *
 * Every program of the family loads libVelmar.so and meets the others in one shared
 * region: a system log, tree-view and debug queues, a command buffer, a system
 * information text, a process count and running-application flags. It also prints on
 * parallel ports. The region layout, capacities and results are a fixed exchange
 * format shared with programs built elsewhere.
 *
 * Texts are zero-terminated 8-bit strings. For every size argument only its low 16 bits
 * are used; a buffer must hold at least that many bytes. Results are 1 (done) or 0
 * (refused, or nothing there), and lengths.
 *
 * Joining. Loading the library joins the region "/VelShareView" and its lock
 * "/VelStructMutEx" (POSIX shared memory; with the environment variable VELMAR_INSTANCE
 * set to a word, both names get "." and that word appended, so that separate
 * installations and tests never meet). The first process creates the region zero-filled;
 * when the last one unloads the library the region vanishes; a region that only crashed
 * processes held is found zero-filled by the next one. Unloading leaves. Both objects
 * may be opened by every local account (mode 0666), or, when a group named "velmar"
 * exists on the machine, only by its members (mode 0660 and that group).
 *
 * When joining fails (no shared memory, no permission on objects of another account),
 * the library still loads and every region export refuses: the Set functions return 0
 * and store nothing (SetSysLogEntry writes no log file either), the Get functions return
 * 0 and place nothing (GetCommandEntry and GetSysInfo place the empty text when size is
 * not 0), GetProcesses and GetRunningApps return 0, SetRunningApps does nothing.
 * SendPRN does not use the region and works regardless. A null text or buffer pointer
 * is refused the same way. While the region is not joined, an export call tries to join
 * it again, at most once a second, so that callers recover once the cause is gone; the
 * process then counts in as if it had joined when it loaded the library.
 *
 * Every queue, command and system-information operation runs under the one region
 * lock, which excludes threads of one process as well as other processes; a lock whose
 * holder died passes to the next waiter. No call waits for the lock longer than 2 s:
 * when its holder (a stopped or stuck process) does not let go by then, the export
 * gives the result of a region that could not be joined, except that SetSysLogEntry
 * still writes its log file. Joining and leaving wait as long at most. The process count
 * and the flags change atomically without the lock. A process forked from a joined one
 * shares its parent's hold and is not counted on its own.
 */
#ifndef VELMAR_H
#define VELMAR_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* System log: 200 entries of at most 119 bytes; the oldest is dropped when full.
 * SetSysLogEntry queues entry (shortened to 119 bytes) and appends it whole to the text
 * file logFile, creating it when missing, with every line feed written as CR LF and a
 * CR LF at the end. The entry "-" queues nothing and writes an empty line, 68 dashes and
 * an empty line. The file is written after the lock is released, each entry in one
 * write: lines of different processes never mix, and a full disk loses whole lines,
 * never parts. The file is kept without write permission except while appending. It is
 * opened without following a symbolic link and without waiting: a link, a FIFO without
 * a reader, or anything but a regular file or a FIFO gets nothing. A file that cannot be
 * opened or written gets nothing (GetSysLogFileError tells why), and the result is
 * still 1. logFile may be null or empty: then only the queue gets the entry. Returns 1;
 * 0 when the region could not be joined or its lock stayed taken (the file is written
 * in the second case only). */
int32_t SetSysLogEntry(const char* logFile, const char* entry);

/* Why the calling thread's last SetSysLogEntry did not write its log-file copy: the
 * errno value of the failed open or write (ENOSPC also for a write cut short, whose
 * piece is taken back; ELOOP for a symbolic link, ENXIO for a FIFO without a reader,
 * EINVAL for a name that is neither a regular file nor a FIFO). 0 when the line was
 * written whole, when no file was named (logFile null or empty), when the entry was
 * null, when the region could not be joined (no file is written then), and before the
 * thread's first SetSysLogEntry. */
int32_t GetSysLogFileError(void);

/* Queue reading, the same for all three queues: with rewind non-zero the shared read
 * position starts again at the oldest entry kept. The entry at the read position is
 * placed in buffer (its first size-1 bytes and a zero byte when it does not fit) and the
 * position moves on. Returns the length placed; 0 with the buffer untouched when nothing
 * is unread (an empty entry also gives 0, with an empty text in the buffer). Size 0
 * returns 0 and changes nothing. The read position is shared by every reader. */
int16_t GetSysLogEntry(int32_t rewind, char* buffer, uint32_t size);

/* Tree view: 200 entries of a text of at most 79 bytes and four numbers. The number
 * pointers of GetTreeViewEntry receive the entry's numbers when an entry is handed out;
 * any of them may be null. */
int32_t SetTreeViewEntry(int32_t number1, int32_t number2, const char* text, int32_t number3,
                         int32_t number4);
int16_t GetTreeViewEntry(int32_t rewind, char* buffer, uint32_t size, int32_t* number1,
                         int32_t* number2, int32_t* number3, int32_t* number4);

/* Debug: 50 entries of at most 199 bytes. */
int32_t SetDebugEntry(const char* entry);
int16_t GetDebugEntry(int32_t rewind, char* buffer, uint32_t size);

/* Command buffer: 4096 bytes of commands, each stored with the terminator 0xFF and taken
 * out in the order stored, one per call; a stored command is never dropped.
 * SetCommandEntry returns 1 when stored, 0 (nothing changed) when the command is empty,
 * contains the byte 0xFF, or does not fit (its length plus the content already there
 * above 4093). GetCommandEntry removes the first command and places its first size-1
 * bytes and a zero byte in buffer (the rest of a longer command is lost); with nothing
 * there it places the empty text. Returns the number of bytes placed. */
int32_t SetCommandEntry(const char* command);
int16_t GetCommandEntry(char* buffer, uint32_t size);

/* The number of commands waiting in the command buffer, without taking any out; -1 when
 * the region could not be joined or its lock stayed taken. */
int16_t GetCommandCount(void);

/* A copy of the commands waiting in the command buffer, taken under the lock without
 * taking any out: each command followed by the byte 0xFF, in the order in which they
 * will be taken, then a zero byte. When they do not fit in size-1 bytes (4096 always
 * holds them), the empty text. Returns the number of bytes placed before the zero byte;
 * -1, with the empty text, when the region could not be joined or its lock stayed taken.
 * Commands leave the buffer from the front: a program that stored some can tell which of
 * them are still there. */
int16_t PeekCommandEntries(char* buffer, uint32_t size);

/* System information: a text of at most 255 bytes. SetSysInfo with a text of 256 bytes
 * or more empties it. Returns 1. GetSysInfo places the whole text, or the empty text
 * when it does not fit in size-1 bytes, and returns its length; size 0 returns 0 and
 * touches nothing. */
int32_t SetSysInfo(const char* text);
int16_t GetSysInfo(char* buffer, uint32_t size);

/* The number of processes that have the library loaded. */
int16_t GetProcesses(void);

/* Whether the calling process is the last one attached: 1 when it is (when it unloads
 * the library the region vanishes, with the commands that wait in it), 0 when other
 * processes are attached, -1 when it cannot tell (the region is not joined, or joining
 * and leaving stayed blocked for 2 s). It is the test that decides whether the region
 * goes: a process that was killed counts no more, though GetProcesses may still count
 * it. */
int32_t GetLastAttached(void);

/* Running-application flags, 32 bits. GetRunningApps returns 1 when any bit of mask is
 * set. SetRunningApps sets (running non-zero) or clears the bits of mask; other bits keep
 * their values. Changes of different processes at the same moment are never lost. */
int32_t GetRunningApps(uint32_t mask);
void SetRunningApps(uint32_t mask, int32_t running);

/* Prints text on parallel port `port` (0 is the first port, device /dev/lp0) with every
 * line feed sent as CR LF. The device is opened, never created; indexes above 998 are
 * refused. The environment variable VELMAR_PRINTER_DIR, when set, names the directory
 * that holds the lp devices instead of /dev. Returns 1 when the text was written and the
 * device closed without error, else 0. */
int16_t SendPRN(const char* text, uint32_t port);

#ifdef __cplusplus
}
#endif

#endif /* VELMAR_H */
