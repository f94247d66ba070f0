// Small helpers shared by the module's fuzz targets.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace vel::fuzz {

// Stops the run with a message: libFuzzer records the input that got here.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

inline void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

// A scratch directory for the whole run, removed at exit. Ends with "/".
// Held on the heap and never freed, so that it outlives the exit handler that uses it.
inline const std::string& ScratchDir() {
  static const std::string* const dir = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "velfuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) Fail("cannot make a scratch directory");
    auto* made = new std::string(pattern + "/");
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(ScratchDir(), ignored);
    });
    return made;
  }();
  return *dir;
}

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace vel::fuzz
