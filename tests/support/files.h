// What the tests share about files and time: reading and writing whole files, a sparse
// file, bounded waiting, and a temporary directory that goes with everything in it.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>

namespace veltest {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// A file of `size` zero bytes that takes no room on disk, for answers too big to buffer.
inline void WriteSparseFile(const fs::path& path, std::uintmax_t size) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).close();
  fs::resize_file(path, size);
}

// The permission bits of a file (0 when there is none).
inline mode_t ModeOf(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// Polls `done` every 20 ms until it holds or `timeout` has passed.
template <typename Done>
bool WaitFor(Done done, milliseconds timeout = milliseconds(8000)) {
  const auto end = Clock::now() + timeout;
  while (Clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return done();
}

// A fresh temporary directory for one test, removed with everything in it at the end
// (read-only files and directories included). `path` ends with "/".
class TempDir {
 public:
  explicit TempDir(const fs::path& parent = fs::temp_directory_path()) {
    std::string pattern = (parent / "veltest-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern + "/";
  }
  ~TempDir() {
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(path_, ignored)) {
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + name; }

  void Write(const std::string& name, const std::string& bytes) const {
    WriteFile(path_ + name, bytes);
  }
  std::string Read(const std::string& name) const { return ReadFile(path_ + name); }
  bool Has(const std::string& name) const {
    struct stat info {};
    return lstat((path_ + name).c_str(), &info) == 0;
  }
  void MakeDir(const std::string& name) const { fs::create_directories(path_ + name); }

 private:
  std::string path_;
};

}  // namespace veltest
