#include "request.h"

#include <limits>

#include "text_case.h"
#include "vel_proc.h"

namespace vel {

std::optional<size_t> CompleteRequestLength(const std::string& buffer) {
  const size_t headerEnd = buffer.find("\r\n\r\n");
  if (headerEnd == std::string::npos) return std::nullopt;
  const size_t headerLength = headerEnd + 4;

  const std::string upper = AsciiUpperText(buffer);
  static const std::string kField = "CONTENT-LENGTH:";
  const size_t field = upper.find(kField);
  if (field == std::string::npos) return headerLength;

  size_t pos = field + kField.size();
  while (pos < buffer.size() && (buffer[pos] == ' ' || buffer[pos] == '\t')) ++pos;
  // A length beyond anything a buffer can hold simply never completes.
  const size_t kHuge = std::numeric_limits<size_t>::max() / 4;
  size_t declared = 0;
  for (; pos < buffer.size() && buffer[pos] >= '0' && buffer[pos] <= '9'; ++pos) {
    declared = declared * 10 + static_cast<size_t>(buffer[pos] - '0');
    if (declared > kHuge) declared = kHuge;
  }
  const size_t bodyLength = buffer.size() - headerLength;
  if (declared > bodyLength) return std::nullopt;
  return headerLength + declared;
}

RequestTarget ParseRequestTarget(const std::string& request) {
  RequestTarget target;
  const std::string requestLine = AsciiUpperText(request.substr(0, request.find('\r')));
  try {
    std::string slash = "/";
    std::string blank = " ";
    std::string name = GetField(requestLine, 1, slash);
    name = GetField(name, 0, blank);
    if (name.empty()) name = "INDEX.HTM";
    if (name.find('.') == std::string::npos) name += ".HTM";
    const size_t dot = name.find('.');
    target.name = name;
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
  if (method != "GET" && method != "POST") return ResponseKind::kNotFound;
  if (extension == "GIF" || extension == "JPG" || extension == "TIF" || extension == "BMP" ||
      extension == "CLA") {
    return ResponseKind::kFile;
  }
  if (extension == "HTM") return ResponseKind::kPage;
  return ResponseKind::kNotFound;
}

std::string ContentTypeFor(const std::string& extension) {
  if (extension == "HTM") return "text/html; charset=windows-1252";
  if (extension == "GIF") return "image/gif";
  if (extension == "JPG") return "image/jpeg";
  if (extension == "TIF") return "image/tiff";
  if (extension == "BMP") return "image/bmp";
  if (extension == "CLA") return "application/octet-stream";
  return "";
}

}  // namespace vel
