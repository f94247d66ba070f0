// Request assembly and the name rules: when the bytes received on a connection hold a
// complete request, and which file of the program directory its request line asks for.
// Pure functions on byte strings; the core calls them from its data-arrival handler.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace vel {

// The length of the complete request at the start of `buffer`: the header block up to
// and including the first CR LF CR LF, plus the body length a "Content-Length:" field
// declares (searched, without regard to case, anywhere in the buffer). Nothing while the
// header block or the declared body is still incomplete.
std::optional<size_t> CompleteRequestLength(const std::string& buffer);

// What a request line asks for. Everything is upper case.
struct RequestTarget {
  std::string method;     // "GET", "POST", ...
  std::string name;       // the one path segment, "INDEX.HTM" when empty
  std::string base;       // the name before its first "."
  std::string extension;  // at most 3 characters after the first "."
  std::string fileName;   // base + "." + extension: a bare name in the program directory
  // False when the file name could leave the program directory or name several files
  // ("/", "\", "..", NUL, "*", "?"), or the request line was too long to take apart.
  bool servable = false;
};

RequestTarget ParseRequestTarget(const std::string& request);

enum class ResponseKind { kNotFound, kFile, kPage };

// How a request for an existing file with this method and extension is answered.
ResponseKind KindOf(const std::string& method, const std::string& extension);

// The content type of a served extension ("HTM", "GIF", ...); empty for others.
std::string ContentTypeFor(const std::string& extension);

}  // namespace vel
