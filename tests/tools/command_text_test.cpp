#include "command_text.h"

#include <gtest/gtest.h>

namespace velctl {
namespace {

TEST(CommandTextTest, EscapeAndUnescape) {
  struct Case {
    std::string bytes;
    std::string shown;
  } cases[] = {
      {"plain text", "plain text"},
      {"quote\" back\\", "quote\\\" back\\\\"},
      {std::string("\xFE\xFF\x00\x7F\r\n", 6), "\\xfe\\xff\\x00\\x7f\\x0d\\x0a"},
      {"caf\xE9", "caf\\xe9"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EscapeBytes(c.bytes), c.shown);
    EXPECT_EQ(UnescapeBytes(c.shown), c.bytes);
  }
  // Anything that is no escape stays as it is.
  EXPECT_EQ(UnescapeBytes("\\xZ1 \\x4 \\n end\\"), "\\xZ1 \\x4 \\n end\\");
  EXPECT_EQ(UnescapeBytes("\\x4A\\x4a"), "JJ");
}

TEST(CommandTextTest, DecodeCommands) {
  struct Case {
    std::string entry;
    std::string line;
  } cases[] = {
      {"FT:GROUP1\xFEJOHN\xFE"
       "Fire in hall 3",
       "kind=\"FT\" receivers=[\"GROUP1\", \"JOHN\"] message=\"Fire in hall 3\""},
      {"FT:A\xFE", "kind=\"FT\" receivers=[\"A\"] message=\"\""},
      {"FT:no receivers", "kind=\"FT\" receivers=[] message=\"no receivers\""},
      {"no kind", "receivers=[] message=\"no kind\""},
      {"FT:\xFE\xFEm:x", "kind=\"FT\" receivers=[\"\", \"\"] message=\"m:x\""},
      {"FT:caf\xE9\xFE"
       "a&b",
       "kind=\"FT\" receivers=[\"caf\\xe9\"] message=\"a&b\""},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatCommand(DecodeCommand(c.entry)), c.line);
}

}  // namespace
}  // namespace velctl
