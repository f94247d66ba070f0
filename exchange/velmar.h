/* Velmar: the shared exchange library of the Velmar product family.
 *
 * Every program of the family loads libVelmar.so and meets the others in one shared
 * region: a system log, tree-view and debug queues, a command buffer, a system
 * information text, a process count and running-application flags. It also prints on
 * parallel ports. The region layout, capacities and results are a fixed exchange
 * format shared with programs built elsewhere.
 *
 * Texts are zero-terminated 8-bit strings. For every size argument only its low 16 bits
 * are used.
 */
#ifndef VELMAR_H
#define VELMAR_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int32_t SetSysLogEntry(const char* logFile, const char* entry);
int16_t GetSysLogEntry(int32_t rewind, char* buffer, uint32_t size);

int32_t SetTreeViewEntry(int32_t number1, int32_t number2, const char* text, int32_t number3,
                         int32_t number4);
int16_t GetTreeViewEntry(int32_t rewind, char* buffer, uint32_t size, int32_t* number1,
                         int32_t* number2, int32_t* number3, int32_t* number4);

int32_t SetDebugEntry(const char* entry);
int16_t GetDebugEntry(int32_t rewind, char* buffer, uint32_t size);

int32_t SetCommandEntry(const char* command);
int16_t GetCommandEntry(char* buffer, uint32_t size);

int32_t SetSysInfo(const char* text);
int16_t GetSysInfo(char* buffer, uint32_t size);
int16_t GetProcesses(void);
int32_t GetRunningApps(uint32_t mask);
void SetRunningApps(uint32_t mask, int32_t running);

int16_t SendPRN(const char* text, uint32_t port);

#ifdef __cplusplus
}
#endif

#endif /* VELMAR_H */
