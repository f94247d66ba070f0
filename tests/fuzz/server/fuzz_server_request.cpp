// Request assembly and the request-line rules: a complete request never runs past the
// buffer, its parts stay in their places, and a name that passes the rules never leaves
// the program directory.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"
#include "request.h"
#include "submission.h"

namespace {

constexpr size_t kBound = 64 * 1024;

// `framed`: `buffer` with the header block that ends at `end` framed as the connection
// table frames it (lines may end in LF alone: they are made to end in CR LF), before
// anything measures or reads the request.
void CheckFramed(const std::string& buffer, std::string& framed, size_t end) {
  Check(end <= buffer.size() && buffer[end - 1] == '\n', "a header block that ends in no LF");
  const size_t block = vel::NormaliseHeaderBlock(framed, end);
  Check(framed.compare(block - 4, 4, "\r\n\r\n") == 0, "a block not ended by an empty line");
  Check(framed.substr(block) == buffer.substr(end), "the body changed");
  for (size_t lf = framed.find('\n'); lf < block; lf = framed.find('\n', lf + 1)) {
    Check(lf > 0 && framed[lf - 1] == '\r', "a bare LF left in the header block");
  }
  Check(framed.find("\r\n\r\n") + 4 == block, "a framed block measured as another one");

  const vel::RequestExtent extent = vel::MeasureRequest(framed, kBound);
  if (extent.state != vel::RequestExtent::State::kComplete) return;
  Check(extent.length <= framed.size(), "request longer than the buffer");
  Check(extent.length <= kBound, "request past the bound");
  // More bytes never make a complete request incomplete.
  Check(vel::MeasureRequest(framed + "x", kBound).length == extent.length, "completion not stable");
  Check(extent.headerLength == block, "the header block measured wrong");
  const vel::HttpRequest request(framed.substr(0, extent.length), extent.headerLength);
  Check(request.Body().size() == extent.length - extent.headerLength, "a body of another size");
  for (const char* name : {"Content-Type", "Host", "Origin"}) {
    for (const std::string& value : request.HeaderValues(name)) {
      Check(value.find_first_of("\r\n") == std::string::npos, "a line end in a header value");
    }
  }
  vel::FormText(request);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string buffer(reinterpret_cast<const char*>(data), size);
  bool lineEnded = false;
  std::string framed = buffer;
  const size_t end = vel::HeaderBlockEnd(framed, 0, lineEnded);
  if (end != std::string::npos) CheckFramed(buffer, framed, end);
  const vel::RequestTarget target = vel::ParseRequestTarget(buffer);
  if (target.servable) {
    const std::string& f = target.fileName;
    Check(f.find_first_of(std::string("/\\*?\0", 5)) == std::string::npos, "unsafe character");
    Check(f.find("..") == std::string::npos, "parent reference");
    Check(target.extension.size() <= 3, "extension longer than 3");
    Check(f == target.base + "." + target.extension, "file name not base.extension");
    for (char c : f) Check(!(c >= 'a' && c <= 'z'), "lower case in the name");
  }
  return 0;
}
