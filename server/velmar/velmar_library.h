// The exchange library libVelmar.so, bound at run time by its file name: first from the
// program directory, then through the usual library search. It is loaded at the first
// call that needs it and stays loaded until the program ends; a failed load is tried
// again at the next call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vel {

class VelmarLibrary {
 public:
  static VelmarLibrary& Instance();

  // Loads the library now if it is not loaded yet. False, with the loader's reason in
  // `why`, when it cannot be loaded (every call that needs it then does nothing).
  bool Load(std::string& why);

  // Nothing when the library or the export cannot be found; otherwise its result.
  std::optional<int32_t> SetSysLogEntry(const std::string& logFile, const std::string& entry);
  std::optional<int32_t> GetSysLogFileError();
  std::optional<int32_t> SetCommandEntry(const std::string& command);
  // The first waiting command, taken out; the empty text when there is none.
  std::optional<std::string> GetCommandEntry();
  std::optional<int32_t> GetCommandCount();
  // A copy of the waiting commands, each followed by 0xFF, without taking any; nothing
  // when the library cannot be called or the region's lock stayed taken.
  std::optional<std::string> PeekCommandEntries();
  std::optional<int32_t> GetProcesses();
  // 1 when this process is the last one attached to the region, 0 when others are, -1
  // when the library cannot tell.
  std::optional<int32_t> GetLastAttached();

 private:
  VelmarLibrary() = default;
  void* Symbol(const char* name);
  template <typename Fn, typename... Args>
  std::optional<int32_t> Call(const char* name, Args... args);

  void* handle_ = nullptr;
};

}  // namespace vel
