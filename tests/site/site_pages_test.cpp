// The pages that ship in a program directory, as the build placed them there: the
// server sends them line by line with one placeholder per line filled in, and a browser
// must get everything it needs from them and the files beside them.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "shipped_files.h"

namespace fs = std::filesystem;
using namespace site_test;

namespace {

// ---- pages -------------------------------------------------------------------------------

struct PageCase {
  const char* file;
  std::vector<std::string> placeholders;  // each must occur exactly once
};

const std::vector<PageCase> kPages = {
    {"INDEX.HTM", {"[RECEIVERS]", "[VERSION]"}},
    {"SEND.HTM",
     {"[SUBMITTEDONES]", "[SUBMITTEDMESSAGE]", "[VERSION]", "[WAITING]", "[MESSAGEID]", "[STATE]"}},
    {"LIST.HTM", {"[RECEIVERS]", "[VERSION]"}},
    {"HISTORY.HTM", {"[HISTORY]", "[VERSION]"}},
};
const std::vector<std::string> kAllPlaceholders = {
    "[RECEIVERS]", "[VERSION]",   "[SUBMITTEDONES]", "[SUBMITTEDMESSAGE]",
    "[WAITING]",   "[MESSAGEID]", "[STATE]",         "[HISTORY]"};

void PrintTo(const PageCase& c, std::ostream* os) { *os << c.file; }

class SitePage : public ::testing::TestWithParam<PageCase> {};

TEST_P(SitePage, IsWindows1252WithCrLfAndSaysSo) {
  const std::string bytes = ReadBytes(kDist + "/" + GetParam().file);
  ExpectCrLfOnly(GetParam().file, bytes);
  ExpectWindows1252(GetParam().file, bytes);
  // Without header fields the browser learns the charset only from the page itself,
  // and only within its first 1024 bytes.
  const size_t meta = bytes.find("<meta charset=\"windows-1252\">");
  ASSERT_NE(meta, std::string::npos);
  EXPECT_LT(meta, 1024u);
  EXPECT_EQ(bytes.rfind("<!DOCTYPE html>", 0), 0u) << "a page starts with its doctype";
}

// The server fills one placeholder per line and repeats the whole line per receiver, so
// a placeholder stands alone on its line, and a repeated one only inside the one element
// that is meant to repeat.
TEST_P(SitePage, HoldsItsPlaceholdersOnLinesOfTheirOwn) {
  const std::vector<std::string> lines = CrLfLines(ReadBytes(kDist + "/" + GetParam().file));
  std::multiset<std::string> found;
  // An option posts its name as its value, exactly: blanks and all.
  const std::regex repeated(R"(<(option|li)>\[(RECEIVERS|SUBMITTEDONES)\]</\1>|\[HISTORY\]|)"
                            R"(<option value="\[RECEIVERVALUE\]">\[RECEIVERS\]</option>)");
  for (const std::string& line : lines) {
    int onLine = 0;
    for (const std::string& p : kAllPlaceholders) {
      for (size_t at = line.find(p); at != std::string::npos; at = line.find(p, at + 1)) {
        ++onLine;
        found.insert(p);
      }
    }
    ASSERT_LE(onLine, 1) << GetParam().file << ": two placeholders on one line: " << line;
    if (line.find("[RECEIVERS]") != std::string::npos ||
        line.find("[SUBMITTEDONES]") != std::string::npos ||
        line.find("[HISTORY]") != std::string::npos) {
      EXPECT_TRUE(std::regex_match(line, repeated))
          << GetParam().file << ": a repeated line holds more than its element: " << line;
    }
    if (line.find("[VERSION]") != std::string::npos) {
      EXPECT_EQ(line, "[VERSION]");
    }
    // Written in any other case, a placeholder goes out literally.
    std::string folded = line;
    for (char& c : folded) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string& p : kAllPlaceholders) {
      EXPECT_EQ(folded.find(p) != std::string::npos, line.find(p) != std::string::npos)
          << GetParam().file << ": placeholder in the wrong case: " << line;
    }
  }
  for (const std::string& p : GetParam().placeholders) {
    EXPECT_EQ(found.count(p), 1u) << GetParam().file << " must hold " << p << " once";
  }
  EXPECT_EQ(found.size(), GetParam().placeholders.size()) << GetParam().file;
}

// Only HTM, GIF, JPG, TIF, BMP and CLA files of the program directory are served, one
// path segment each: every link and image of a page must be such a file, shipped beside
// it. Styles and scripts are inline (a script only follows what the page shows already).
TEST_P(SitePage, NeedsOnlyFilesTheServerServes) {
  const std::string page = ReadBytes(kDist + "/" + GetParam().file);
  const std::regex reference(R"re((?:src|href|action)="([^"]*)")re");
  const std::regex served(R"([A-Za-z0-9_]+\.(HTM|GIF|JPG|TIF|BMP|CLA))");
  int count = 0;
  for (auto it = std::sregex_iterator(page.begin(), page.end(), reference);
       it != std::sregex_iterator(); ++it) {
    const std::string target = (*it)[1];
    ++count;
    EXPECT_TRUE(std::regex_match(target, served)) << GetParam().file << " refers to " << target;
    EXPECT_TRUE(fs::is_regular_file(kDist + "/" + target))
        << GetParam().file << " refers to " << target << ", which does not ship";
  }
  EXPECT_GT(count, 0);
  EXPECT_EQ(page.find("<script src"), std::string::npos) << "scripts are inline";
  EXPECT_EQ(page.find("stylesheet"), std::string::npos) << "styles are inline";
}

INSTANTIATE_TEST_SUITE_P(Shipped, SitePage, ::testing::ValuesIn(kPages), [](const auto& info) {
  std::string name = info.param.file;
  return name.substr(0, name.find('.'));
});

// The server finds "message=" and "receivers=" anywhere in the request, first one wins:
// the form posts exactly these two names and nothing whose name ends in either.
TEST(SiteForm, PostsMessageAndReceiversToTheResultPage) {
  const std::string page = ReadBytes(kDist + "/INDEX.HTM");
  EXPECT_NE(page.find("<form method=\"post\" action=\"SEND.HTM\" accept-charset=\"windows-1252\""),
            std::string::npos);
  const std::regex named(R"re(name="([^"]*)")re");
  std::multiset<std::string> names;
  for (auto it = std::sregex_iterator(page.begin(), page.end(), named);
       it != std::sregex_iterator(); ++it) {
    names.insert((*it)[1]);
  }
  names.erase("viewport");  // <meta name="viewport">, not a form field
  EXPECT_EQ(names, (std::multiset<std::string>{"message", "receivers"}));
  EXPECT_NE(page.find("<select id=\"receivers\" name=\"receivers\" multiple"), std::string::npos);
  EXPECT_NE(page.find("<textarea id=\"message\" name=\"message\""), std::string::npos);
}

TEST(SiteImage, LogoIsAGif) {
  const std::string gif = ReadBytes(kDist + "/LOGO.GIF");
  ASSERT_GE(gif.size(), 13u);
  EXPECT_EQ(gif.substr(0, 6), "GIF89a");
  EXPECT_EQ(gif.back(), '\x3B') << "a GIF ends with its trailer";
}

}  // namespace
