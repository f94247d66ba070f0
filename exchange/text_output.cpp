#include "text_output.h"

#include <unistd.h>

#include <cerrno>

namespace velmar {

std::size_t CrLfSize(const char* text, std::size_t length) {
  std::size_t size = length;
  for (std::size_t i = 0; i < length; ++i)
    if (text[i] == '\n') ++size;
  return size;
}

char* CopyWithCrLf(const char* text, std::size_t length, char* out) {
  for (std::size_t i = 0; i < length; ++i) {
    if (text[i] == '\n') *out++ = '\r';
    *out++ = text[i];
  }
  return out;
}

void TextOutput::Write(const char* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (text[i] == '\n') Put('\r');
    Put(text[i]);
  }
}

void TextOutput::Put(char c) {
  if (used_ == sizeof buffer_) {
    ok_ = WriteAll(buffer_, used_) && ok_;
    used_ = 0;
  }
  buffer_[used_++] = c;
}

bool TextOutput::Flush() {
  if (used_ > 0) {
    ok_ = WriteAll(buffer_, used_) && ok_;
    used_ = 0;
  }
  return ok_;
}

bool TextOutput::WriteAll(const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd_, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace velmar
