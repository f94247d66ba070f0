// Every section and key of the profile "VELWEB.INI" that velweb reads, in one table, and
// the check that finds what a profile holds beyond them: a mistyped key is otherwise
// silently ignored and its default used.
//
// A new setting is one more row of kProfileKeys; nothing else needs to know of it.
#pragma once

#include <string>
#include <vector>

namespace vel {

struct ProfileKey {
  const char* section;
  const char* key;
  bool number;  // read as a number: a value that is not a plain integer is worth a word
};

inline constexpr ProfileKey kProfileKeys[] = {
    {"TCPIP", "HTTPPort", true},       {"General", "Language", false},
    {"HTTP", "Headers", true},         {"Access", "AllowFrom", false},
    {"Access", "SendLimit", true},     {"Access", "Password", false},
    {"Access", "TrustProxy", false},   {"TCPIP", "ListenAddress", false},
    {"General", "StallSeconds", true}, {"General", "LogDays", true},
    {"Status", "From", false},
};

// One warning per line of `content` (a profile's bytes) that velweb does not read as it
// may have been meant, each beginning with `fileName`, " line ", the line number and
// ": ". Unknown sections and keys (with the nearest known one where one is near: "HTTPPrt:
// unknown key in [TCPIP], did you mean HTTPPort?"), keys outside any section, lines
// that are neither a section nor a key, keys given twice, and number keys whose value is
// not a plain integer (with the number read from it). Names match without regard to case,
// as the profile reader matches them. Texts are Windows-1252, as the file is.
//
// With `accessMistakes`, the lines that leave [Access] other than it may have been meant
// go there instead: velweb does not start with them, for a server that runs open to
// everyone because of a typing mistake is worse than one that does not run. They are an
// unknown section nearest to [Access], an unknown key nearest to one of [Access] (or
// one of its keys in another section, or in none), a key of [Access] given twice, and a
// number of [Access] that is no whole number or is negative.
std::vector<std::string> CheckProfileKeys(const std::string& content, const std::string& fileName,
                                          std::vector<std::string>* accessMistakes = nullptr);

}  // namespace vel
