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

std::optional<int32_t> VelmarLibrary::SetSysLogEntry(const std::string& logFile,
                                                     const std::string& entry) {
  using Fn = int32_t (*)(const char*, const char*);
  auto fn = reinterpret_cast<Fn>(Symbol("SetSysLogEntry"));
  if (!fn) return std::nullopt;
  return fn(logFile.c_str(), entry.c_str());
}

std::optional<int32_t> VelmarLibrary::SetCommandEntry(const std::string& command) {
  using Fn = int32_t (*)(const char*);
  auto fn = reinterpret_cast<Fn>(Symbol("SetCommandEntry"));
  if (!fn) return std::nullopt;
  return fn(command.c_str());
}

}  // namespace vel
