// The languages the pages are shown in: every language file of the program directory
// (vel_lang.NNN, as the language window lists them) read at the start for the texts the
// pages ask for with "[TEXT:n]" (page.h). A language file names its language for the
// browser in text 1 ("en", "de"); a page is shown in the language of the request's
// Accept-Language where that names an installed one (by its primary subtag, in the
// order of the request's weights), else in the language of [General] Language, else in
// the first one found. A text that a language lacks comes from the profile's language.
//
// Read once, at the start, on the event loop's thread; the languages stay where they are
// for as long as the server runs (pages keep pointers to them).
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vel {

struct PageLanguage {
  std::string code;  // "049", as the file's extension
  std::string tag;   // "de" (text 1), or empty when the file gives none
  std::map<int, std::string> texts;
  const PageLanguage* fallback = nullptr;  // the profile's language, for a text it lacks

  // Text `number`, from this language or its fallback; empty when neither has it.
  const std::string& Text(int number) const;
};

class PageLanguages {
 public:
  // Reads every language file of `dir` (ending with "/"); `profileCode` is [General]
  // Language.
  void Load(const std::string& dir, const std::string& profileCode);
  // The language for a request whose Accept-Language lines are `accept`; nullptr when
  // no language file is there.
  const PageLanguage* Choose(const std::vector<std::string>& accept) const;
  const PageLanguage* Default() const { return default_; }

 private:
  std::vector<PageLanguage> languages_;
  const PageLanguage* default_ = nullptr;
};

// The texts of a language file's bytes: "number=text" lines, the text up to the next "="
// (as the server's own texts are read).
std::map<int, std::string> ParseLanguageTexts(std::string_view bytes);

}  // namespace vel
