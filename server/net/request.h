// What a client asked: the rules of when the bytes received on a connection hold a
// whole request (and when they can never be one), and the whole request taken apart
// once (HttpRequest): its line, its target, its header lines as places in the bytes, its
// body and the kind of post, so that every later step (access checks, dispatch, the
// posted message) reads what it needs without searching the bytes again. Pure functions
// on byte strings.
#pragma once

#include <cstddef>
#include <cstdint>
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
//
// The header block is framed strictly (RFC 9112 §5, §6.3): two Content-Length lines that
// differ, a blank before a field's colon, a line folded onto the one before (obs-fold) or
// a CR that ends no line is refused, since another reader of the same bytes could take
// them for another request. `fault` then says which.
struct RequestExtent {
  enum class State { kIncomplete, kComplete, kTooLarge, kRefused };
  State state = State::kIncomplete;
  size_t length = 0;
  // kIncomplete: the length the whole request will have, once its header block is in.
  size_t wanted = 0;
  // The header block's length, once it is in.
  size_t headerLength = 0;
  // kRefused: why, for the answer ("the request's ...: nothing was sent").
  const char* fault = nullptr;
};
RequestExtent MeasureRequest(const std::string& buffer, size_t maxBytes);

// Where the header block of `buffer` ends: just after the empty line that ends it, its
// lines ending in CR LF or in LF alone (RFC 9112 §2.2), or just after the request line
// when that has no version (a request as HTTP/0.9 sent it, without header lines); npos
// while it is not whole. `from`: the first byte not looked at before; `lineEnded`: whether
// the request line had ended before it, kept by the caller from call to call.
size_t HeaderBlockEnd(const std::string& buffer, size_t from, bool& lineEnded);

// The header block of `buffer` (its first `end` bytes, as HeaderBlockEnd found them) made
// to end each line in CR LF and to end with an empty line, as MeasureRequest and
// HttpRequest read it; the rest of `buffer` stays as it is. The new length of the block.
size_t NormaliseHeaderBlock(std::string& buffer, size_t end);

// Whether a request line ("GET / HTTP/1.0", without its line end) names a version.
bool HasVersion(std::string_view requestLine);

// An HTTP/1.1 request whose header block (its first `headerLength` bytes) asks for
// "100-continue" before its body.
bool ExpectsContinue(const std::string& buffer, size_t headerLength);

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

// Where a posted message comes from: how it is read, answered and logged.
enum class PostSource { kForm, kJson, kText, kAlertmanager, kGrafana };

// Every source but the form is answered in JSON.
inline bool AnsweredInJson(PostSource source) { return source != PostSource::kForm; }
// Alertmanager and Grafana: always answered with a status line, and told to retry later
// whenever the message may be taken then.
inline bool IsWebhook(PostSource source) {
  return source == PostSource::kAlertmanager || source == PostSource::kGrafana;
}

// Which status request a request is: "GET /metrics" or "GET /health" (a query aside).
enum class StatusPath { kNone, kMetrics, kHealth };

// A request taken apart once, when it is complete (or, for a refusal, as far as it came).
class HttpRequest {
 public:
  HttpRequest() = default;
  // `text` as received; `headerLength` its header block's length through the blank line,
  // 0 when the block is not whole (then no header line counts, and there is no body).
  HttpRequest(std::string text, size_t headerLength);
  // The header block found in `text` itself.
  explicit HttpRequest(std::string text);

  const std::string& Text() const { return text_; }
  // The request line taken apart (upper case): method, file name, extension.
  const RequestTarget& Target() const { return target_; }
  // POST /alertmanager or /grafana (the path without regard to case, with or without a
  // query, also in absolute form): kAlertmanager or kGrafana. Another POST by its
  // Content-Type: kJson (application/json), kText (text/plain), else kForm; anything
  // but a POST, kForm.
  PostSource Source() const { return source_; }
  StatusPath Status() const { return status_; }
  // What follows the header block.
  std::string_view Body() const;
  // The request target as sent: what stands between the request line's first two blanks.
  std::string TargetText() const;
  // The values of the header lines called `name` (matched without regard to case), in
  // their order, without the blanks around them. Only lines of the header block count.
  std::vector<std::string> HeaderValues(std::string_view name) const;

 private:
  struct Field {
    uint32_t nameAt, nameSize, valueAt, valueSize;
  };
  std::string text_;
  size_t headerLength_ = 0;
  RequestTarget target_;
  PostSource source_ = PostSource::kForm;
  StatusPath status_ = StatusPath::kNone;
  std::vector<Field> fields_;
};

enum class ResponseKind { kNotFound, kFile, kPage };

// How a request for an existing file with this method and extension is answered. HEAD
// is answered as GET is, without the body.
ResponseKind KindOf(const std::string& method, const std::string& extension);

// The content type of a served extension ("HTM", "GIF", ...); empty for others.
const std::string& ContentTypeFor(const std::string& extension);

}  // namespace vel
