#include "terminal_text.h"

#include <iconv.h>
#include <langinfo.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>

namespace vel {

namespace {

constexpr const char* kCp1252 = "WINDOWS-1252";

std::string Hex(unsigned char byte) {
  char text[5];
  std::snprintf(text, sizeof text, "\\x%02x", byte);
  return text;
}

std::string CodePoint(uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(code));
  return text;
}

// An iconv descriptor that closes itself.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts all of `in`; nothing when some of it does not convert.
  std::optional<std::string> Whole(std::string_view in) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    std::string out(in.size() * 8 + 16, '\0');
    char* inPtr = const_cast<char*>(in.data());
    size_t inLeft = in.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    if (iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) return {};
    if (iconv(cd_, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1)) return {};
    out.resize(out.size() - outLeft);
    return out;
  }

  // Takes one character off the front of `in` as a UTF-32 code point; false when the
  // bytes there are no character of the source encoding.
  bool One(std::string_view& in, uint32_t& code) {
    char* inPtr = const_cast<char*>(in.data());
    size_t inLeft = in.size();
    unsigned char out[4];
    char* outPtr = reinterpret_cast<char*>(out);
    size_t outLeft = sizeof out;
    // The output has room for one character: iconv stops after it, whatever follows.
    iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft);
    if (outLeft != 0) return false;
    code =
        uint32_t{out[0]} | uint32_t{out[1]} << 8 | uint32_t{out[2]} << 16 | uint32_t{out[3]} << 24;
    in.remove_prefix(in.size() - inLeft);
    return true;
  }

 private:
  iconv_t cd_;
};

bool NamesAscii(const std::string& codeset) {
  return codeset.empty() || codeset == "ANSI_X3.4-1968" || codeset == "ASCII" ||
         codeset == "US-ASCII";
}

}  // namespace

TerminalText::TerminalText(const std::string& codeset) : codeset_(codeset) {
  for (int b = 0; b < 0x80; ++b) characters_[static_cast<size_t>(b)] = std::string(1, char(b));
  if (NamesAscii(codeset)) return;
  Converter out(codeset.c_str(), kCp1252);
  if (!out.ok()) return;
  asciiOnly_ = false;
  for (int b = 0x80; b < 0x100; ++b) {
    const char byte = static_cast<char>(b);
    if (std::optional<std::string> shown = out.Whole(std::string_view(&byte, 1))) {
      characters_[static_cast<size_t>(b)] = *shown;
    }
  }
}

const TerminalText& TerminalText::Utf8() {
  static const TerminalText utf8("UTF-8");
  return utf8;
}

TerminalText TerminalText::FromLocale() { return TerminalText(nl_langinfo(CODESET)); }

const std::string& TerminalText::Character(unsigned char cp1252) const {
  return characters_[cp1252];
}

std::string TerminalText::ToTerminal(std::string_view cp1252) const {
  std::string out;
  out.reserve(cp1252.size());
  for (const char c : cp1252) {
    const auto b = static_cast<unsigned char>(c);
    const std::string& shown = characters_[b];
    out += shown.empty() ? Hex(b) : shown;
  }
  return out;
}

bool TerminalText::FromTerminal(std::string_view text, std::string& cp1252,
                                std::string& error) const {
  cp1252.clear();
  if (asciiOnly_) {
    for (const char c : text) {
      if (static_cast<unsigned char>(c) > 0x7F) {
        error = "the byte " + Hex(static_cast<unsigned char>(c)) +
                " is outside ASCII, and the locale's encoding (" +
                (codeset_.empty() ? "C" : codeset_) + ") holds only ASCII";
        return false;
      }
    }
    cp1252.assign(text);
    return true;
  }
  // Every character goes to UTF-32 first, so that the one Windows-1252 lacks can be
  // named; the code points of the bytes 0x80 to 0xFF are known from the table.
  Converter in("UTF-32LE", codeset_.c_str());
  Converter back("UTF-32LE", kCp1252);
  if (!in.ok() || !back.ok()) {
    error = "the encoding " + codeset_ + " cannot be converted";
    return false;
  }
  std::array<uint32_t, 256> codeOf{};
  for (int b = 0x80; b < 0x100; ++b) {
    const char byte = static_cast<char>(b);
    std::string_view one(&byte, 1);
    uint32_t code = 0;
    if (back.One(one, code)) codeOf[static_cast<size_t>(b)] = code;
  }
  while (!text.empty()) {
    const std::string_view before = text;
    uint32_t code = 0;
    if (!in.One(text, code)) {
      error = "the byte " + Hex(static_cast<unsigned char>(before[0])) + " is not " + codeset_;
      return false;
    }
    if (code < 0x80) {
      cp1252 += static_cast<char>(code);
      continue;
    }
    int found = -1;
    for (int b = 0x80; b < 0x100 && found < 0; ++b) {
      if (codeOf[static_cast<size_t>(b)] == code) found = b;
    }
    if (found < 0) {
      const std::string character(before.substr(0, before.size() - text.size()));
      error =
          "the character " + character + " (" + CodePoint(code) + ") has no place in Windows-1252";
      return false;
    }
    cp1252 += static_cast<char>(found);
  }
  return true;
}

namespace {
std::unique_ptr<TerminalText>& ProcessTerminalSlot() {
  static std::unique_ptr<TerminalText> terminal;
  return terminal;
}
}  // namespace

void InitProcessTerminal() {
  std::setlocale(LC_CTYPE, "");
  ProcessTerminalSlot() = std::make_unique<TerminalText>(TerminalText::FromLocale());
}

const TerminalText& ProcessTerminal() {
  static const TerminalText ascii("ASCII");
  const std::unique_ptr<TerminalText>& terminal = ProcessTerminalSlot();
  return terminal ? *terminal : ascii;
}

}  // namespace vel
