// The language files and the profile that ship in a program directory: every text the
// server asks for is there in both languages, and a first start restores VELWEB.INI from
// VELWEB.ONI and reads port 80 and English from it.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "files.h"
#include "shipped_files.h"
#include "vel_proc.h"

namespace fs = std::filesystem;
using namespace site_test;

namespace {

// ---- language files and profile -----------------------------------------------------------

// A program directory of its own, holding copies of the shipped files named.
class ShippedDir : public ::testing::Test {
 protected:
  void SetUp() override { vel::SetProgramDir(dir_.path()); }
  void Ship(const std::string& name) { fs::copy_file(kDist + "/" + name, dir_.File(name)); }
  void WriteProfile(const std::string& text) { dir_.Write("VELWEB.INI", text); }
  veltest::TempDir dir_;
};

struct LanguageCase {
  const char* code;
  const char* name;  // text 0, as the language window lists it
  const char* loadingReceivers;
  const char* tag;  // text 1: the pages' <html lang>
};

const std::vector<LanguageCase> kLanguages = {
    {"001", "English", "Loading the receivers...", "en"},
    {"049", "Deutsch", "Die Empf\xE4nger werden geladen...", "de"},
};

void PrintTo(const LanguageCase& c, std::ostream* os) { *os << c.code; }

class SiteLanguage : public ShippedDir, public ::testing::WithParamInterface<LanguageCase> {};

TEST_P(SiteLanguage, GivesEveryTextTheServerAsksFor) {
  const std::string file = std::string("vel_lang.") + GetParam().code;
  const std::string bytes = ReadBytes(kDist + "/" + file);
  ExpectCrLfOnly(file, bytes);
  ExpectWindows1252(file, bytes);

  Ship(file);
  WriteProfile(std::string("[General]\r\nLanguage=") + GetParam().code + "\r\n");
  ASSERT_TRUE(vel::LoadLanguage());
  for (int32_t number : vel::kLanguageTexts) {
    const std::string text = vel::GetText(number);
    EXPECT_FALSE(text.empty()) << file << " text " << number;
    EXPECT_EQ(text.rfind("Invalid Text", 0), std::string::npos) << file << " lacks " << number;
  }
  EXPECT_EQ(vel::GetText(vel::kTextLanguageName), GetParam().name);
  EXPECT_EQ(vel::GetText(vel::kTextLoadingReceivers), GetParam().loadingReceivers);

  // The language window takes the name from the first line that starts with "0=".
  for (const std::string& line : CrLfLines(bytes)) {
    if (line.rfind("0=", 0) == 0) {
      EXPECT_EQ(line.substr(2), GetParam().name);
      break;
    }
  }

  // The receiver-file version line (its two texts around the version) behind the log's
  // "YY-MM-DD HH:NN:SS WEB " fits one system-log entry (119 bytes) even for the longest
  // version number.
  const std::string logLine = "26-12-07 20:41:01 WEB " +
                              vel::GetText(vel::kTextReceiverVersionBefore) + " -32768 " +
                              vel::GetText(vel::kTextReceiverVersionAfter);
  EXPECT_LE(logLine.size(), 119u) << logLine;

  // Every text a shipped page asks for ("[TEXT:n]"), in this language: a text runs to the
  // next "=" as the server reads it, so none holds one.
  std::map<int, std::string> texts;
  for (const std::string& line : CrLfLines(bytes)) {
    std::smatch m;
    if (std::regex_match(line, m, std::regex(R"((\d+)=(.*))"))) texts[std::stoi(m[1])] = m[2];
  }
  for (const char* page : {"INDEX.HTM", "SEND.HTM", "LIST.HTM", "HISTORY.HTM"}) {
    const std::string html = ReadBytes(kDist + "/" + page);
    const std::regex asked(R"(\[TEXT:(\d+)\])");
    for (auto it = std::sregex_iterator(html.begin(), html.end(), asked);
         it != std::sregex_iterator(); ++it) {
      const int number = std::stoi((*it)[1]);
      EXPECT_FALSE(texts[number].empty()) << file << " lacks text " << number << " of " << page;
      EXPECT_EQ(texts[number].find('='), std::string::npos) << file << " text " << number;
    }
  }
  EXPECT_EQ(texts[1], GetParam().tag) << "the language as the browser names it";
  // The result page says what each text the server may show in place of the receivers
  // means: nothing went to the alarm server then. It never writes them bracketed, as the
  // server shows them: a client that looks for "[Not Sent]" finds it only when it is so.
  for (const char* text : {"No Receivers", "No Message", "Not Sent"}) {
    EXPECT_NE(texts[2044].find(text), std::string::npos) << file << " does not explain " << text;
    EXPECT_EQ(texts[2044].find("[" + std::string(text) + "]"), std::string::npos) << file;
  }
}

INSTANTIATE_TEST_SUITE_P(Shipped, SiteLanguage, ::testing::ValuesIn(kLanguages),
                         [](const auto& info) { return std::string(info.param.name); });

// A first start: VELWEB.INI is missing, start-up restores it from VELWEB.ONI, and the
// same start reads port 80, header fields on, a send limit and English from it.
TEST_F(ShippedDir, ProfileGivesPort80AndEnglishOnFirstStart) {
  const std::string oni = ReadBytes(kDist + "/VELWEB.ONI");
  ExpectCrLfOnly("VELWEB.ONI", oni);
  for (const char* name : {"VELWEB.ONI", "vel_lang.001", "vel_lang.049"}) Ship(name);

  vel::CopyMissingFiles(vel::ProgramDir(), "ONI", "INI");
  ASSERT_TRUE(dir_.Has("VELWEB.INI"));
  EXPECT_EQ(vel::ReadProfileString("TCPIP", "HTTPPort", "", "VELWEB.INI"), "80");
  EXPECT_EQ(vel::ReadProfileString("General", "Language", "", "VELWEB.INI"), "001");
  EXPECT_EQ(vel::ReadProfileString("HTTP", "Headers", "", "VELWEB.INI"), "1");
  EXPECT_EQ(vel::ReadProfileString("Access", "SendLimit", "", "VELWEB.INI"), "30");
  ASSERT_TRUE(vel::LoadLanguage());
  EXPECT_EQ(vel::GetText(vel::kTextLanguageName), "English");
}

}  // namespace
