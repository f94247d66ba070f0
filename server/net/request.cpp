#include "request.h"

#include <algorithm>
#include <limits>

#include "text_case.h"
#include "vel_proc.h"

namespace vel {

namespace {

// The length a "Content-Length:" value declares, read from `pos` in `header` (the header
// block, upper case) to the end of its line; false when it is no plain number (blanks,
// digits, blanks): anything else could be read in more than one way. A number past
// `maxBytes` reads as maxBytes + 1 (and never wraps round).
bool ReadContentLength(const std::string& header, size_t pos, size_t maxBytes, size_t& declared) {
  auto skipBlanks = [&] {
    while (pos < header.size() && (header[pos] == ' ' || header[pos] == '\t')) ++pos;
  };
  skipBlanks();
  const size_t digits = pos;
  declared = 0;
  for (; pos < header.size() && header[pos] >= '0' && header[pos] <= '9'; ++pos) {
    if (declared <= maxBytes) declared = declared * 10 + static_cast<size_t>(header[pos] - '0');
  }
  if (declared > maxBytes) declared = maxBytes + 1;
  const bool number = pos > digits;
  skipBlanks();
  return number && pos < header.size() && header[pos] == '\r';
}

// What makes a header block (upper case, through its empty line) framed other than
// plainly; nullptr when nothing does.
const char* FramingFault(const std::string& header) {
  for (size_t cr = header.find('\r'); cr != std::string::npos; cr = header.find('\r', cr + 1)) {
    if (cr + 1 >= header.size() || header[cr + 1] != '\n')
      return "request holds a CR that ends no line";
  }
  const size_t blockEnd = header.size() - 2;  // the empty line's CR LF
  for (size_t start = header.find("\r\n") + 2; start < blockEnd;) {
    const size_t end = header.find("\r\n", start);
    if (header[start] == ' ' || header[start] == '\t') return "request folds a header line";
    const size_t colon = header.find(':', start);
    if (colon < end) {
      const size_t blank = header.find_first_of(" \t", start);
      if (blank < colon) return "request has a blank before a header field's colon";
    }
    start = end + 2;
  }
  return nullptr;
}

}  // namespace

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
  if (const char* fault = FramingFault(header)) return {State::kRefused, 0, 0, 0, fault};
  static const std::string kField = "\r\nCONTENT-LENGTH:";
  size_t field = header.find(kField);
  if (field == std::string::npos) return {State::kComplete, headerLength, 0, headerLength};
  size_t declared = 0;
  if (!ReadContentLength(header, field + kField.size(), maxBytes, declared)) {
    return {State::kRefused, 0, 0, 0, "request's Content-Length is no plain number"};
  }
  // The same length may be given twice; two lengths leave the body's end in doubt.
  while ((field = header.find(kField, field + 2)) != std::string::npos) {
    size_t again = 0;
    if (!ReadContentLength(header, field + kField.size(), maxBytes, again)) {
      return {State::kRefused, 0, 0, 0, "request's Content-Length is no plain number"};
    }
    if (again != declared) {
      return {State::kRefused, 0, 0, 0, "request gives two different Content-Length values"};
    }
  }
  if (declared > maxBytes || headerLength + declared > maxBytes) return {State::kTooLarge, 0};
  if (buffer.size() < headerLength + declared)
    return {State::kIncomplete, 0, headerLength + declared, headerLength};
  return {State::kComplete, headerLength + declared, 0, headerLength};
}

bool HasVersion(std::string_view requestLine) {
  const size_t blank = requestLine.rfind(' ');
  return blank != std::string_view::npos && blank > 0 &&
         EqualsAsciiNoCase(requestLine.substr(blank + 1, 5), "HTTP/");
}

size_t HeaderBlockEnd(const std::string& buffer, size_t from, bool& lineEnded) {
  for (size_t lf = buffer.find('\n', from); lf != std::string::npos;
       lf = buffer.find('\n', lf + 1)) {
    if (!lineEnded) {
      lineEnded = true;
      const size_t end = lf > 0 && buffer[lf - 1] == '\r' ? lf - 1 : lf;
      if (!HasVersion(std::string_view(buffer).substr(0, end))) return lf + 1;
      continue;
    }
    if (buffer[lf - 1] == '\n' || (buffer[lf - 1] == '\r' && lf >= 2 && buffer[lf - 2] == '\n')) {
      return lf + 1;
    }
  }
  return std::string::npos;
}

size_t NormaliseHeaderBlock(std::string& buffer, size_t end) {
  const std::string_view block = std::string_view(buffer).substr(0, end);
  bool bareLf = false;
  for (size_t lf = block.find('\n'); lf != std::string_view::npos && !bareLf;
       lf = block.find('\n', lf + 1)) {
    bareLf = lf == 0 || block[lf - 1] != '\r';
  }
  const bool endsEmpty = end >= 4 && block.substr(end - 4) == "\r\n\r\n";
  if (!bareLf && endsEmpty) return end;  // as nearly every client sends it
  std::string lines;
  lines.reserve(end + 4);
  for (size_t i = 0; i < end; ++i) {
    if (block[i] == '\n' && (i == 0 || block[i - 1] != '\r')) lines += '\r';
    lines += block[i];
  }
  // A request line without a version is a request of its own: the empty line is added.
  if (lines.size() < 4 || lines.compare(lines.size() - 4, 4, "\r\n\r\n") != 0) lines += "\r\n";
  buffer.replace(0, end, lines);
  return lines.size();
}

bool ExpectsContinue(const std::string& buffer, size_t headerLength) {
  const std::string_view block = std::string_view(buffer).substr(0, headerLength);
  const size_t lineEnd = block.find('\r');
  if (lineEnd == std::string::npos || lineEnd < 9 ||
      block.compare(lineEnd - 9, 9, " HTTP/1.1") != 0) {
    return false;
  }
  for (const std::string& value :
       HttpRequest(std::string(block), headerLength).HeaderValues("Expect")) {
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

namespace {

// The path of a target, also of one in absolute form ("http://host/path?query").
std::string TargetPath(const std::string& target) {
  std::string path = target.substr(0, target.find('?'));
  const size_t scheme = path.find("://");
  if (scheme != std::string::npos && path.find('/') > scheme) {
    const size_t slash = path.find('/', scheme + 3);
    path = slash == std::string::npos ? "/" : path.substr(slash);
  }
  return path;
}

StatusPath StatusPathOf(std::string_view text) {
  if (text.substr(0, 5) != "GET /") return StatusPath::kNone;
  auto is = [&](std::string_view path) {
    return text.substr(4, path.size()) == path && text.size() > 4 + path.size() &&
           std::string_view(" ?\r\n").find(text[4 + path.size()]) != std::string_view::npos;
  };
  if (is("/metrics")) return StatusPath::kMetrics;
  if (is("/health")) return StatusPath::kHealth;
  return StatusPath::kNone;
}

}  // namespace

HttpRequest::HttpRequest(std::string text)
    : HttpRequest(text, [&] {
        const size_t end = text.find("\r\n\r\n");
        return end == std::string::npos ? 0 : end + 4;
      }()) {}

HttpRequest::HttpRequest(std::string text, size_t headerLength)
    : text_(std::move(text)), headerLength_(std::min(headerLength, text_.size())) {
  target_ = ParseRequestTarget(text_);
  status_ = StatusPathOf(text_);
  // The header lines, each known by where its name and value stand.
  const std::string_view block = std::string_view(text_).substr(0, headerLength_);
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  for (size_t line = block.find("\r\n"); line != std::string_view::npos;) {
    const size_t start = line + 2;
    const size_t end = block.find("\r\n", start);
    if (end == std::string_view::npos || end == start) break;
    line = end;
    const size_t colon = block.find(':', start);
    if (colon >= end || colon == start) continue;
    size_t from = colon + 1, to = end;
    while (from < to && blank(block[from])) ++from;
    while (to > from && blank(block[to - 1])) --to;
    fields_.push_back({static_cast<uint32_t>(start), static_cast<uint32_t>(colon - start),
                       static_cast<uint32_t>(from), static_cast<uint32_t>(to - from)});
  }
  if (!EqualsAsciiNoCase(std::string_view(text_).substr(0, 5), "POST ")) return;
  std::string path = AsciiUpperText(TargetPath(TargetText()));
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path == "/ALERTMANAGER") {
    source_ = PostSource::kAlertmanager;
    return;
  }
  if (path == "/GRAFANA") {
    source_ = PostSource::kGrafana;
    return;
  }
  const std::vector<std::string> types = HeaderValues("Content-Type");
  if (types.empty()) return;
  std::string type = types.front().substr(0, types.front().find(';'));
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.pop_back();
  if (EqualsAsciiNoCase(type, "application/json")) source_ = PostSource::kJson;
  if (EqualsAsciiNoCase(type, "text/plain")) source_ = PostSource::kText;
}

std::string_view HttpRequest::Body() const {
  return headerLength_ == 0 ? std::string_view() : std::string_view(text_).substr(headerLength_);
}

std::string HttpRequest::TargetText() const {
  const std::string line = text_.substr(0, text_.find_first_of("\r\n"));
  const size_t start = line.find(' ');
  if (start == std::string::npos) return {};
  const size_t end = line.find(' ', start + 1);
  return line.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
}

std::vector<std::string> HttpRequest::HeaderValues(std::string_view name) const {
  std::vector<std::string> values;
  const std::string_view text(text_);
  for (const Field& f : fields_) {
    if (EqualsAsciiNoCase(text.substr(f.nameAt, f.nameSize), name)) {
      values.emplace_back(text.substr(f.valueAt, f.valueSize));
    }
  }
  return values;
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
