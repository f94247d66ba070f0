#include "page_languages.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>

#include "file_io.h"
#include "language_files.h"
#include "text_lines.h"

namespace vel {

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::map<int, std::string> ParseLanguageTexts(std::string_view bytes) {
  std::map<int, std::string> texts;
  for (const std::string& line : SplitTextLines(std::string(bytes))) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    int number = 0;
    const std::string_view digits = Trim(std::string_view(line).substr(0, equals));
    const auto [end, code] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (code != std::errc() || end != digits.data() + digits.size()) continue;
    const size_t next = line.find('=', equals + 1);
    texts.emplace(number, line.substr(equals + 1, next == std::string::npos ? std::string::npos
                                                                            : next - equals - 1));
  }
  return texts;
}

const std::string& PageLanguage::Text(int number) const {
  static const std::string kNone;
  if (const auto found = texts.find(number); found != texts.end()) return found->second;
  if (fallback && fallback != this) return fallback->Text(number);
  return kNone;
}

void PageLanguages::Load(const std::string& dir, const std::string& profileCode) {
  languages_.clear();
  for (const LanguageChoice& choice : FindLanguages(dir)) {
    const std::optional<std::string> bytes = ReadWholeFile(dir + choice.fileName, size_t{1} << 20);
    if (!bytes) continue;
    PageLanguage language;
    language.code = choice.fileName.substr(choice.fileName.find('.') + 1);
    language.texts = ParseLanguageTexts(*bytes);
    if (const auto tag = language.texts.find(1); tag != language.texts.end()) {
      language.tag = Lower(Trim(tag->second));
    }
    languages_.push_back(std::move(language));
  }
  default_ = languages_.empty() ? nullptr : &languages_.front();
  for (const PageLanguage& language : languages_) {
    if (language.code == profileCode) default_ = &language;
  }
  for (PageLanguage& language : languages_) language.fallback = default_;
}

const PageLanguage* PageLanguages::Choose(const std::vector<std::string>& accept) const {
  // The ranges of the request with their weights ("de-DE,de;q=0.9,en;q=0.8").
  struct Range {
    std::string primary;
    double weight;
    size_t order;
  };
  std::vector<Range> ranges;
  for (const std::string& line : accept) {
    for (size_t at = 0; at <= line.size();) {
      size_t comma = line.find(',', at);
      if (comma == std::string::npos) comma = line.size();
      std::string_view item = Trim(std::string_view(line).substr(at, comma - at));
      at = comma + 1;
      double weight = 1;
      if (const size_t semicolon = item.find(';'); semicolon != std::string_view::npos) {
        const std::string_view parameter = Trim(item.substr(semicolon + 1));
        if (parameter.substr(0, 2) == "q=" || parameter.substr(0, 2) == "Q=") {
          weight = std::strtod(std::string(parameter.substr(2)).c_str(), nullptr);
        }
        item = Trim(item.substr(0, semicolon));
      }
      const std::string primary = Lower(item.substr(0, item.find('-')));
      if (!primary.empty() && primary != "*" && weight > 0) {
        ranges.push_back({primary, weight, ranges.size()});
      }
    }
  }
  std::stable_sort(ranges.begin(), ranges.end(),
                   [](const Range& a, const Range& b) { return a.weight > b.weight; });
  for (const Range& range : ranges) {
    for (const PageLanguage& language : languages_) {
      if (!language.tag.empty() &&
          Lower(language.tag.substr(0, language.tag.find('-'))) == range.primary) {
        return &language;
      }
    }
  }
  return default_;
}

}  // namespace vel
