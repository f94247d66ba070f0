// Reading the shipped files of a program directory the way the server reads them, and
// the checks every shipped text file must pass.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace site_test {

inline const std::string kDist = VELWEB_DIST_DIR;

inline std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Lines as the server reads a page: split at CR LF (the files hold no other line end).
inline std::vector<std::string> CrLfLines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) end = bytes.size();
    lines.push_back(bytes.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// Every line ends with CR LF: no LF alone (the server would see one long line) and no
// CR alone.
inline void ExpectCrLfOnly(const std::string& name, const std::string& bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\n') {
      ASSERT_TRUE(i > 0 && bytes[i - 1] == '\r') << name << ": LF without CR at byte " << i;
    }
    if (bytes[i] == '\r') {
      ASSERT_TRUE(i + 1 < bytes.size() && bytes[i + 1] == '\n')
          << name << ": CR without LF at byte " << i;
    }
  }
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n") << name << ": last line has no line end";
}

// Windows-1252 bytes: no NUL, none of the five codes it leaves undefined, and no UTF-8
// (a lead byte C2..F4 followed by a continuation byte means the file was saved as UTF-8).
inline void ExpectWindows1252(const std::string& name, const std::string& bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    ASSERT_NE(b, 0) << name << ": NUL byte at " << i;
    ASSERT_TRUE(b != 0x81 && b != 0x8D && b != 0x8F && b != 0x90 && b != 0x9D)
        << name << ": byte " << std::hex << int(b) << " is undefined in Windows-1252";
    if (b >= 0xC2 && b <= 0xF4 && i + 1 < bytes.size()) {
      const auto next = static_cast<unsigned char>(bytes[i + 1]);
      ASSERT_FALSE(next >= 0x80 && next <= 0xBF) << name << ": UTF-8 sequence at byte " << i;
    }
  }
}

}  // namespace site_test
