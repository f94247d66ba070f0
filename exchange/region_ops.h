// The operations on the shared region: queues, the command buffer, the system
// information text, the process count and the running-application flags.
//
// These functions know nothing of processes or locks. The queue, command and
// system-information operations expect the caller to hold the region lock; the counter
// operations are atomic on their own and take no lock. Nothing here allocates.
//
// The region is shared with programs built elsewhere and a lock holder may have died in
// the middle of an operation, so every count, read position and text is bounded before
// use: a damaged region gives odd entries, never a write outside its field.
#ifndef VELMAR_REGION_OPS_H
#define VELMAR_REGION_OPS_H

#include <cstdint>

#include "shared_region.h"

namespace velmar {

enum class Queue { SysLog, TreeView, Debug };

// The four numbers of a tree-view entry.
struct TreeViewNumbers {
  int32_t number1 = 0;
  int32_t number2 = 0;
  int32_t number3 = 0;
  int32_t number4 = 0;
};

// Appends text (shortened to the entry's room) to a queue; a full queue drops its oldest
// entry and its read position keeps designating the same entry. numbers is used only for
// the tree-view queue.
void StoreQueueEntry(SharedRegion& region, Queue queue, const char* text,
                     const TreeViewNumbers* numbers = nullptr);

// Where a tree-view entry's numbers go when it is handed out; any of them may be null.
struct TreeViewTargets {
  int32_t* number1 = nullptr;
  int32_t* number2 = nullptr;
  int32_t* number3 = nullptr;
  int32_t* number4 = nullptr;
};

// Hands out the entry at the read position and moves the position on. Returns the
// length placed in buffer (the first size-1 bytes of a longer entry), or 0 with buffer
// and targets untouched when nothing is unread. rewind starts again at the oldest entry.
// targets is used only for the tree-view queue.
int16_t TakeQueueEntry(SharedRegion& region, Queue queue, bool rewind, char* buffer, uint16_t size,
                       const TreeViewTargets* targets = nullptr);

// The commands waiting, as TakeCommand would take them one by one.
int16_t CountCommands(const SharedRegion& region);

// Stores a command with its terminator; false (buffer unchanged) when it is empty,
// holds a byte 0xFF or does not fit.
bool StoreCommand(SharedRegion& region, const char* command);

// Takes the first command out, placing at most size-1 bytes of it and a zero byte in
// buffer; the rest of a longer command is dropped. An empty buffer gives the empty text.
// Returns the number of bytes placed; size 0 returns 0 and touches nothing.
int16_t TakeCommand(SharedRegion& region, char* buffer, uint16_t size);

// Copies the commands that wait, each followed by its terminator byte 0xFF, as they
// stand, without taking any out and without repairing anything: the bytes before the
// command buffer's zero byte (at most kCommandContentMax), then a zero byte. When they do
// not fit in size-1 bytes, the empty text. Returns the number of bytes placed; size 0
// returns 0 and touches nothing.
int16_t PeekCommands(const SharedRegion& region, char* buffer, uint16_t size);

// Bytes before the command buffer's zero byte, looked at only: unlike the operations
// above it repairs nothing, so a damaged buffer without a zero byte gives
// kCommandBufferSize. For a copy of the region, or a look without writing.
int PeekCommandLength(const SharedRegion& region);

// A text of 256 bytes or more empties SysInfo.
void StoreSysInfo(SharedRegion& region, const char* text);

// Copies SysInfo into buffer when it fits whole, else gives the empty text. Size 0
// returns 0 and touches nothing.
int16_t ReadSysInfo(const SharedRegion& region, char* buffer, uint16_t size);

// Atomic, lock-free changes of the counter word; the region must be 8-byte aligned.
void IncrementProcessCount(SharedRegion& region);
void DecrementProcessCount(SharedRegion& region);  // never below 0
int16_t LoadProcessCount(const SharedRegion& region);
void ChangeRunningApps(SharedRegion& region, uint32_t mask, bool running);
bool AnyRunningApp(const SharedRegion& region, uint32_t mask);
uint32_t LoadRunningApps(const SharedRegion& region);

}  // namespace velmar

#endif  // VELMAR_REGION_OPS_H
