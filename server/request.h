// Request assembly and the name rules: when the bytes received on a connection hold a
// complete request, and which file of the program directory its request line asks for.
// Pure functions on byte strings; the core calls them from its data-arrival handler.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vel {

// What the bytes received so far on a connection hold: a request still incomplete, a
// complete one of `length` bytes (the header block up to and including the first CR LF
// CR LF, plus the body length that a "Content-Length:" line of the header block
// declares, found without regard to case), or one that is refused: too large when it
// is, or would become with its declared body, longer than `maxBytes`; refused when its
// content length is not a plain decimal number.
struct RequestExtent {
  enum class State { kIncomplete, kComplete, kTooLarge, kRefused };
  State state = State::kIncomplete;
  size_t length = 0;
  // kIncomplete: the length the whole request will have, once its header block is in.
  size_t wanted = 0;
};
RequestExtent MeasureRequest(const std::string& buffer, size_t maxBytes);

// The form text of a complete POST request: its body. When the body has neither a
// "message" nor a "receivers" field (HoldsMessageFields), the query of the request line
// (from "?" to the blank before the version) instead. Header lines never give a field.
std::string FormText(const std::string& request);

// The values of the header lines called `name` (matched without regard to case), in
// their order, without the blanks around them. Only lines of the header block count.
std::vector<std::string> HeaderValues(const std::string& request, std::string_view name);

// The body of a complete request: what follows its header block.
std::string RequestBody(const std::string& request);

// An HTTP/1.1 request whose header block asks for "100-continue" before its body.
bool ExpectsContinue(const std::string& request);

// What a request line asks for. Everything is upper case. A target in absolute form
// ("http://host:port/LIST.HTM", as proxies send it) asks for its path.
struct RequestTarget {
  std::string method;     // "GET", "HEAD", "POST", ...
  std::string base;       // the name before its first "."
  std::string extension;  // at most 3 characters after the first "."
  std::string fileName;   // base + "." + extension: a bare name in the program directory
  // False when the file name could leave the program directory or name several files
  // ("/", "\", "..", NUL, "*", "?"), or the request line was too long to take apart.
  bool servable = false;
};

RequestTarget ParseRequestTarget(const std::string& request);

enum class ResponseKind { kNotFound, kFile, kPage };

// How a request for an existing file with this method and extension is answered. HEAD
// is answered as GET is, without the body.
ResponseKind KindOf(const std::string& method, const std::string& extension);

// The content type of a served extension ("HTM", "GIF", ...); empty for others.
const std::string& ContentTypeFor(const std::string& extension);

}  // namespace vel
