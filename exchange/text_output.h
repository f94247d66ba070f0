// Text the way a text-mode stream writes it: every line feed goes out as carriage return
// and line feed. TextOutput streams to a file descriptor (buffered on the stack, allocates
// nothing); CrLfSize and CopyWithCrLf convert in memory, for output that must leave in
// one write.
#ifndef VELMAR_TEXT_OUTPUT_H
#define VELMAR_TEXT_OUTPUT_H

#include <cstddef>

namespace velmar {

// The number of bytes text takes once every line feed is written as CR LF.
std::size_t CrLfSize(const char* text, std::size_t length);

// Copies text to out with every line feed written as CR LF; out holds CrLfSize(text,
// length) bytes. Returns the end of what was written.
char* CopyWithCrLf(const char* text, std::size_t length, char* out);

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
