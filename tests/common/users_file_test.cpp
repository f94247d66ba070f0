// The users file's format: what velctl writes reads back, patterns match as an admin
// means them, and every mistake names its line (the server then refuses the whole file).
#include "users_file.h"

#include <gtest/gtest.h>

#include "password_hash.h"

namespace vel {
namespace {

TEST(UsersFile, ReadsBackWhatItWritesAndMatchesPatterns) {
  const std::string hash = HashPassword("pw");
  ASSERT_FALSE(hash.empty());
  const std::vector<UserAccount> users = {
      {"alice", hash, {"ICU*", "Night  Shift "}, 5, UserRole::kSender},
      {"sue", hash, {}, std::nullopt, UserRole::kSupervisor},
  };
  std::vector<UserAccount> read;
  std::string error;
  ASSERT_TRUE(ParseUsersFile(UsersFileBytes(users), "VELWEB.USR", read, error)) << error;
  // Blanks around a name are the file's, not the name's.
  EXPECT_EQ(read[0].receivers, (std::vector<std::string>{"ICU*", "Night  Shift"}));
  read[0].receivers[1] += ' ';
  EXPECT_EQ(read, users);
  struct Match {
    const char* pattern;
    const char* name;
    bool matches;
  };
  for (const Match& m : std::vector<Match>{{"ICU*", "ICU-1", true},
                                           {"ICU*", "ICU", true},
                                           {"ICU*", "icu-1", false},
                                           {"*Team", "Fire Team", true},
                                           {"*Team", "Team B", false},
                                           {"A*B*C", "AxxBxxC", true},
                                           {"A*B*C", "AxxCxxB", false},
                                           {"Ward", "Ward 2", false},
                                           {"*", "", true}}) {
    EXPECT_EQ(MatchesPattern(m.pattern, m.name), m.matches) << m.pattern << " ~ " << m.name;
  }
  EXPECT_TRUE(read[1].MayPage("anything"));
  EXPECT_FALSE(read[0].MayPage("Ward"));
}

TEST(UsersFile, EveryMistakeNamesItsLine) {
  const std::string password = "Password=" + HashPassword("pw") + "\r\n";
  struct Case {
    std::string file;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"Role=sender\r\n", "line 1: Role stands before any [user]"},
      {"[a]\r\n" + password + "Colour=red\r\n", "line 3: unknown key Colour"},
      {"[a]\r\n" + password + "Role=boss\r\n", "line 3: Role of a is boss"},
      {"[a]\r\nPassword=secret\r\n", "line 2: the password of a is no usable hash"},
      {"[a]\r\n" + password + "Receivers=A,,B\r\n", "line 3: Receivers of a holds an empty name"},
      {"[a]\r\n" + password + "SendLimit=-1\r\n", "line 3: SendLimit of a must be a whole number"},
      {"[a]\r\n" + password + "[a]\r\n" + password, "line 3: the user a is given twice"},
      {"[a:b]\r\n" + password, "line 1: the user name a:b holds \":\""},
      {"[a]\r\nRole=sender\r\n[b]\r\n" + password, "line 1: [a] has no Password="},
      {"[a\r\n", "line 1: a section name must end with ]"},
      {"[a]\r\n" + password + "just words\r\n", "line 3: \"just words\" is neither"},
  };
  for (const Case& c : cases) {
    std::vector<UserAccount> users = {{"kept", "", {}, std::nullopt, UserRole::kSender}};
    std::string error;
    EXPECT_FALSE(ParseUsersFile(c.file, "VELWEB.USR", users, error)) << c.file;
    EXPECT_NE(error.find("VELWEB.USR " + c.error), std::string::npos) << error;
    EXPECT_EQ(users.size(), 1u) << "nothing read from a file that cannot be used";
  }
}

}  // namespace
}  // namespace vel
