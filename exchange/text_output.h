// Writing text to a file descriptor the way a text-mode stream does: every line feed goes
// out as carriage return and line feed. Buffered on the stack; allocates nothing.
#ifndef VELMAR_TEXT_OUTPUT_H
#define VELMAR_TEXT_OUTPUT_H

#include <cstddef>

namespace velmar {

class TextOutput {
 public:
  explicit TextOutput(int fd) : fd_(fd) {}
  TextOutput(const TextOutput&) = delete;
  TextOutput& operator=(const TextOutput&) = delete;

  void Write(const char* text, std::size_t length);
  // Writes out what is buffered. False when any write so far failed.
  bool Flush();

 private:
  void Put(char c);
  bool WriteAll(const char* data, std::size_t length);

  int fd_;
  bool ok_ = true;
  std::size_t used_ = 0;
  char buffer_[1024];
};

}  // namespace velmar

#endif  // VELMAR_TEXT_OUTPUT_H
