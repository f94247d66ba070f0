// A fresh temporary directory for one test, removed with everything in it afterwards.
#ifndef VELMAR_TEST_DIR_H
#define VELMAR_TEST_DIR_H

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

class TestDir {
 public:
  TestDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmar-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TestDir() {
    std::error_code ignored;
    // Read-only log files must not stop the clean-up.
    for (auto& e : std::filesystem::recursive_directory_iterator(path_, ignored))
      std::filesystem::permissions(e.path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TestDir(const TestDir&) = delete;
  TestDir& operator=(const TestDir&) = delete;

  std::string File(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

#endif  // VELMAR_TEST_DIR_H
