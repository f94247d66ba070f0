#include "request.h"

#include <limits>

#include "submission.h"
#include "text_case.h"
#include "vel_proc.h"

namespace vel {

RequestExtent MeasureRequest(const std::string& buffer, size_t maxBytes) {
  using State = RequestExtent::State;
  const size_t headerEnd = buffer.find("\r\n\r\n");
  if (headerEnd == std::string::npos) {
    return {buffer.size() > maxBytes ? State::kTooLarge : State::kIncomplete, 0};
  }
  const size_t headerLength = headerEnd + 4;
  if (headerLength > maxBytes) return {State::kTooLarge, 0};

  // Only a line of the header block can declare the length: neither a body's text nor
  // the tail of another field's name says how long the body is.
  const std::string header = AsciiUpperText(buffer.substr(0, headerLength));
  static const std::string kField = "\r\nCONTENT-LENGTH:";
  const size_t field = header.find(kField);
  if (field == std::string::npos) return {State::kComplete, headerLength};

  // Blanks, digits, blanks, and the end of the line: anything else could be read in
  // more than one way (and a number too large for any buffer once wrapped round).
  size_t pos = field + kField.size();
  auto skipBlanks = [&] {
    while (pos < header.size() && (header[pos] == ' ' || header[pos] == '\t')) ++pos;
  };
  skipBlanks();
  const size_t digits = pos;
  size_t declared = 0;
  for (; pos < header.size() && header[pos] >= '0' && header[pos] <= '9'; ++pos) {
    declared = declared * 10 + static_cast<size_t>(header[pos] - '0');
    if (declared > maxBytes) break;
  }
  const bool number = pos > digits;
  // A number too large is refused as too large once it is known to be a number.
  while (pos < header.size() && header[pos] >= '0' && header[pos] <= '9') ++pos;
  skipBlanks();
  if (!number || pos >= header.size() || header[pos] != '\r') return {State::kRefused, 0};
  if (declared > maxBytes || headerLength + declared > maxBytes) return {State::kTooLarge, 0};
  if (buffer.size() < headerLength + declared)
    return {State::kIncomplete, 0, headerLength + declared};
  return {State::kComplete, headerLength + declared};
}

std::string FormText(const std::string& request) {
  const size_t headerEnd = request.find("\r\n\r\n");
  std::string body = headerEnd == std::string::npos ? std::string() : request.substr(headerEnd + 4);
  if (HoldsMessageFields(body)) return body;
  const std::string line = request.substr(0, request.find('\r'));
  const size_t query = line.find('?');
  if (query == std::string::npos) return body;
  size_t end = line.rfind(' ');
  if (end == std::string::npos || end < query) end = line.size();
  return line.substr(query + 1, end - query - 1);
}

std::vector<std::string> HeaderValues(const std::string& request, std::string_view name) {
  std::vector<std::string> values;
  const size_t headerEnd = request.find("\r\n\r\n");
  if (headerEnd == std::string::npos) return values;
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  // Each line after the request line, up to the blank line.
  for (size_t line = request.find("\r\n"); line < headerEnd;) {
    const size_t start = line + 2;
    const size_t end = request.find("\r\n", start);
    line = end;
    if (end - start <= name.size() || request[start + name.size()] != ':') continue;
    bool same = true;
    for (size_t i = 0; i < name.size() && same; ++i) {
      same = AsciiUpper(request[start + i]) == AsciiUpper(name[i]);
    }
    if (!same) continue;
    size_t from = start + name.size() + 1, to = end;
    while (from < to && blank(request[from])) ++from;
    while (to > from && blank(request[to - 1])) --to;
    values.push_back(request.substr(from, to - from));
  }
  return values;
}

std::string RequestBody(const std::string& request) {
  const size_t headerEnd = request.find("\r\n\r\n");
  return headerEnd == std::string::npos ? std::string() : request.substr(headerEnd + 4);
}

bool ExpectsContinue(const std::string& request) {
  const size_t lineEnd = request.find('\r');
  if (lineEnd == std::string::npos || lineEnd < 9 ||
      request.compare(lineEnd - 9, 9, " HTTP/1.1") != 0) {
    return false;
  }
  for (const std::string& value : HeaderValues(request, "Expect")) {
    if (EqualsAsciiNoCase(value, "100-continue")) return true;
  }
  return false;
}

namespace {

// The request line with an absolute-form target ("GET HTTP://HOST:80/A.HTM HTTP/1.1")
// made origin-form ("GET /A.HTM HTTP/1.1"); other lines unchanged.
std::string OriginForm(const std::string& requestLine) {
  const size_t target = requestLine.find(' ');
  if (target == std::string::npos) return requestLine;
  size_t authority;
  if (requestLine.compare(target + 1, 7, "HTTP://") == 0) {
    authority = target + 8;
  } else if (requestLine.compare(target + 1, 8, "HTTPS://") == 0) {
    authority = target + 9;
  } else {
    return requestLine;
  }
  const size_t path = requestLine.find_first_of("/ ?", authority);
  if (path == std::string::npos) return requestLine.substr(0, target + 1) + "/";
  const std::string rest = requestLine.substr(path);
  return requestLine.substr(0, target + 1) + (rest[0] == '/' ? "" : "/") + rest;
}

}  // namespace

RequestTarget ParseRequestTarget(const std::string& request) {
  RequestTarget target;
  const std::string requestLine = OriginForm(AsciiUpperText(request.substr(0, request.find('\r'))));
  try {
    std::string slash = "/";
    std::string blank = " ";
    std::string name = GetField(requestLine, 1, slash);
    name = GetField(name, 0, blank);
    if (name.empty()) name = "INDEX.HTM";
    if (name.find('.') == std::string::npos) name += ".HTM";
    const size_t dot = name.find('.');
    target.base = name.substr(0, dot);
    target.extension = name.substr(dot + 1, 3);
    target.fileName = target.base + "." + target.extension;
    target.method = GetField(requestLine, 0, blank);
  } catch (const OverflowError&) {
    target.servable = false;
    return target;
  }
  const std::string& f = target.fileName;
  target.servable = f.find_first_of(std::string("/\\*?\0", 5)) == std::string::npos &&
                    f.find("..") == std::string::npos;
  return target;
}

ResponseKind KindOf(const std::string& method, const std::string& extension) {
  if (method != "GET" && method != "HEAD" && method != "POST") return ResponseKind::kNotFound;
  if (extension == "GIF" || extension == "JPG" || extension == "TIF" || extension == "BMP" ||
      extension == "CLA") {
    return ResponseKind::kFile;
  }
  if (extension == "HTM") return ResponseKind::kPage;
  return ResponseKind::kNotFound;
}

const std::string& ContentTypeFor(const std::string& extension) {
  static const std::string kHtm = "text/html; charset=windows-1252", kGif = "image/gif",
                           kJpg = "image/jpeg", kTif = "image/tiff", kBmp = "image/bmp",
                           kCla = "application/octet-stream", kNone;
  if (extension == "HTM") return kHtm;
  if (extension == "GIF") return kGif;
  if (extension == "JPG") return kJpg;
  if (extension == "TIF") return kTif;
  if (extension == "BMP") return kBmp;
  if (extension == "CLA") return kCla;
  return kNone;
}

}  // namespace vel
