// A temporary directory for tests, removed with everything in it at the end.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace vel::test {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velproc-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern + "/";
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory, ending with "/".
  const std::string& path() const { return path_; }

  void Write(const std::string& name, const std::string& content) const {
    std::ofstream out(path_ + name, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + name);
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(path_ + name, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }
  bool Has(const std::string& name) const {
    struct stat info {};
    return lstat((path_ + name).c_str(), &info) == 0;
  }
  void MakeDir(const std::string& name) const { std::filesystem::create_directories(path_ + name); }

 private:
  std::string path_;
};

}  // namespace vel::test
