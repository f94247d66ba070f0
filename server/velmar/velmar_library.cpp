#include "velmar_library.h"

#include <dlfcn.h>

#include "vel_proc.h"

namespace vel {

VelmarLibrary& VelmarLibrary::Instance() {
  static VelmarLibrary library;
  return library;
}

void* VelmarLibrary::Symbol(const char* name) {
  std::string why;
  return Load(why) ? dlsym(handle_, name) : nullptr;
}

bool VelmarLibrary::Load(std::string& why) {
  if (handle_) return true;
  const std::string beside = ProgramFile("libVelmar.so");
  handle_ = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_) return true;
  const char* error = dlerror();
  why = error ? error : "unknown reason";
  handle_ = dlopen("libVelmar.so", RTLD_NOW | RTLD_LOCAL);
  return handle_ != nullptr;
}

template <typename Fn, typename... Args>
std::optional<int32_t> VelmarLibrary::Call(const char* name, Args... args) {
  auto fn = reinterpret_cast<Fn>(Symbol(name));
  if (!fn) return std::nullopt;
  return fn(args...);
}

std::optional<int32_t> VelmarLibrary::SetSysLogEntry(const std::string& logFile,
                                                     const std::string& entry) {
  return Call<int32_t (*)(const char*, const char*)>("SetSysLogEntry", logFile.c_str(),
                                                     entry.c_str());
}

std::optional<int32_t> VelmarLibrary::GetSysLogFileError() {
  return Call<int32_t (*)()>("GetSysLogFileError");
}

std::optional<int32_t> VelmarLibrary::SetCommandEntry(const std::string& command) {
  return Call<int32_t (*)(const char*)>("SetCommandEntry", command.c_str());
}

std::optional<std::string> VelmarLibrary::GetCommandEntry() {
  // An entry never fills the command buffer whole: this holds any of them.
  char buffer[4096];
  const std::optional<int32_t> length =
      Call<int16_t (*)(char*, uint32_t)>("GetCommandEntry", buffer, uint32_t{sizeof buffer});
  if (!length) return std::nullopt;
  return std::string(buffer, static_cast<size_t>(*length > 0 ? *length : 0));
}

std::optional<int32_t> VelmarLibrary::GetCommandCount() {
  return Call<int16_t (*)()>("GetCommandCount");
}

std::optional<std::string> VelmarLibrary::PeekCommandEntries() {
  char buffer[4096];
  const std::optional<int32_t> length =
      Call<int16_t (*)(char*, uint32_t)>("PeekCommandEntries", buffer, uint32_t{sizeof buffer});
  if (!length || *length < 0) return std::nullopt;
  return std::string(buffer, static_cast<size_t>(*length));
}

std::optional<int32_t> VelmarLibrary::GetProcesses() { return Call<int16_t (*)()>("GetProcesses"); }

std::optional<int32_t> VelmarLibrary::GetLastAttached() {
  return Call<int32_t (*)()>("GetLastAttached");
}

}  // namespace vel
