// The numbers of the language texts that the server asks GetText for. Every language
// file that ships gives each of them; a missing one shows as "Invalid Text (n)".
#pragma once

#include <array>
#include <cstdint>

namespace vel {

enum LanguageText : int32_t {
  kTextLanguageName = 0,        // the language's own name (the language window reads it directly)
  kTextAboutCaption = 10,       // the about window's caption
  kTextBeforeVersion = 13,      // about panel: before the version number
  kTextBeforeCredit = 14,       // about panel: before the maker's credit line
  kTextLoadingReceivers = 124,  // about window's status line while the receivers load
  // A receiver file of another version is logged as: text 803, the version, text 804.
  kTextReceiverVersionBefore = 803,
  kTextReceiverVersionAfter = 804,
};

// Every text above, for the tests of the shipped language files.
inline constexpr std::array<LanguageText, 7> kLanguageTexts = {
    kTextLanguageName,     kTextAboutCaption,          kTextBeforeVersion,       kTextBeforeCredit,
    kTextLoadingReceivers, kTextReceiverVersionBefore, kTextReceiverVersionAfter};

}  // namespace vel
