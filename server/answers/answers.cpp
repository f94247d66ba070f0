#include "answers.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "file_io.h"
#include "json_answer.h"
#include "page.h"
#include "response_sender.h"
#include "vel_proc.h"
#include "version.h"

namespace vel {

namespace {

constexpr int64_t kCachedFileBytes = 64 * 1024;

// Whether the last failed call failed because the process, or the system, has no
// descriptor left.
bool OutOfDescriptors() { return errno == EMFILE || errno == ENFILE; }

// The status of the regular file at `path`, a name in the program directory. A symbolic
// link is followed only when what it leads to lies inside the program directory: a link
// must never serve a file from elsewhere on the machine.
bool StatInProgramDir(const std::string& path, struct stat& info) {
  if (lstat(path.c_str(), &info) != 0) return false;
  if (S_ISLNK(info.st_mode)) {
    char real[PATH_MAX];
    const std::string& dir = ProgramDir();
    if (!realpath(path.c_str(), real) || std::strncmp(real, dir.c_str(), dir.size()) != 0 ||
        stat(real, &info) != 0) {
      return false;
    }
  }
  return S_ISREG(info.st_mode);
}

}  // namespace

bool Answers::FindPage(const std::string& fileName, std::string& path, struct stat& info) {
  // Names are found in the program directory whatever their case on disk. The common
  // case, a name spelt as on disk, costs one look at the file's status.
  path = ProgramDir() + fileName;
  if (fileName[0] != '.' && StatInProgramDir(path, info)) return true;
  path = ResolveInDir(ProgramDir(), fileName);
  return FileExists(path) && StatInProgramDir(path, info);
}

void Answers::Page(int index, const std::string& path, const struct stat& info,
                   const ShownMessage& shown, int status, const std::string& moreFields) {
  // A page without a submission to show is the same for every client until its file or
  // the receiver list changes: it is rendered once and sent from the cache after that.
  const bool known = shown.receivers.empty() && shown.message.empty() && shown.handedOver &&
                     shown.waitingNote.empty() && shown.messageId.empty();
  // A user who may page only some receivers has pages of their own.
  const PageLanguage* language = shown.language ? shown.language : languages_.Default();
  std::string key = path;
  if (language) key += '\x02' + language->code;
  if (shown.viewer) {
    key += '\x01' + shown.viewer->name;
    for (const std::string& pattern : shown.viewer->receivers) key += '\x01' + pattern;
  }
  std::shared_ptr<const std::string> body;
  if (known) body = pageCache_.Find(key, info, receivers_.Generation());
  if (!body) {
    const std::optional<std::string> bytes = ReadWholeFile(path);
    if (!bytes) {
      if (OutOfDescriptors()) {
        table_.AwaitDescriptor(index,
                               [=, this] { Page(index, path, info, shown, status, moreFields); });
      } else {
        SendNotFound(index);
      }
      return;
    }
    PageContext context;
    // A page that lists the history is this client's, now: never kept.
    const bool listsHistory = bytes->find("[HISTORY]") != std::string::npos;
    std::vector<MessageStatus> history;
    if (listsHistory && shown.history) history = shown.history();
    std::vector<std::string> permitted;
    if (shown.viewer) {
      for (const std::string& name : receivers_.Names()) {
        if (shown.viewer->MayPage(name)) permitted.push_back(name);
      }
    }
    context.receivers = shown.viewer ? &permitted : &receivers_.Names();
    context.version = kVersionText;
    context.submittedReceivers = shown.receivers;
    context.submittedMessage = shown.message;
    context.handedOver = shown.handedOver;
    context.waitingNote = shown.waitingNote;
    context.messageId = shown.messageId;
    context.state = shown.state;
    context.history = listsHistory ? &history : nullptr;
    context.language = language;
    std::string rendered;
    for (const std::string& piece : RenderPage(*bytes, context)) rendered += piece;
    body = std::make_shared<const std::string>(std::move(rendered));
    if (known && !listsHistory) pageCache_.Store(key, info, receivers_.Generation(), body);
  }
  Body(index, ContentTypeFor("HTM"), std::move(body), status, moreFields);
}

void Answers::File(int index, const RequestTarget& target) {
  // The common case, a name spelt as on disk, costs one open of the file.
  if (target.fileName[0] != '.' &&
      SendFile(index, ProgramDir() + target.fileName, target.extension)) {
    return;
  }
  const std::string path = ResolveInDir(ProgramDir(), target.fileName);
  errno = 0;
  if (FileExists(path) && SendFile(index, path, target.extension)) return;
  if (OutOfDescriptors()) {
    table_.AwaitDescriptor(index, [this, index, target] { File(index, target); });
    return;
  }
  // Found by the existence test but unreadable: not found all the same.
  SendNotFound(index);
}

bool Answers::SendFile(int index, const std::string& path, const std::string& extension) {
  // A small file (a page's images) is kept in memory while it stays unchanged: one look
  // at the file instead of opening and reading it for every request.
  struct stat info {};
  if (!StatInProgramDir(path, info)) return false;
  if (info.st_size <= kCachedFileBytes) {
    std::shared_ptr<const std::string> body = fileCache_.Find(path, info, 0);
    if (!body) {
      std::optional<std::string> bytes = ReadWholeFile(path, kCachedFileBytes);
      if (!bytes) return false;
      body = std::make_shared<const std::string>(std::move(*bytes));
      if (static_cast<int64_t>(body->size()) == info.st_size) fileCache_.Store(path, info, 0, body);
    }
    Body(index, ContentTypeFor(extension), std::move(body));
    return true;
  }
  if (table_.At(index).headOnly) {
    metrics_.CountResponse(200);
    table_.Queue(index, std::make_unique<ResponseSender>(std::vector<std::string>{
                            ResponseHead(200, ContentTypeFor(extension), info.st_size)}));
    return true;
  }
  std::function<std::string(int64_t)> head;
  if (statusLines_) {
    head = [extension](int64_t length) {
      return ResponseHead(200, ContentTypeFor(extension), length);
    };
  }
  std::unique_ptr<ResponseSender> sender = ResponseSender::ForFile(path, head);
  if (!sender) return false;
  metrics_.CountResponse(200);
  table_.Queue(index, std::move(sender));
  return true;
}

void Answers::NotFound(int index, const HttpRequest& request) {
  if (request.Source() == PostSource::kJson) {
    Json(index, PostSource::kJson, JsonNotSent("there is no such page"), 404);
  } else {
    SendNotFound(index);
  }
}

void Answers::SendNotFound(int index) {
  std::vector<std::string> pieces;
  if (statusLines_) {
    size_t length = 0;
    for (const std::string& line : NotFoundLines()) length += line.size();
    pieces.push_back(ResponseHead(404, ContentTypeFor("HTM"), static_cast<int64_t>(length)));
  }
  if (!table_.At(index).headOnly) {
    pieces.insert(pieces.end(), NotFoundLines().begin(), NotFoundLines().end());
  }
  metrics_.CountResponse(404);
  table_.Queue(index, std::make_unique<ResponseSender>(std::move(pieces)));
}

void Answers::Body(int index, const std::string& contentType,
                   std::shared_ptr<const std::string> body, int status,
                   const std::string& moreFields) {
  const std::string head =
      statusLines_
          ? ResponseHead(status, contentType, static_cast<int64_t>(body->size()), moreFields)
          : std::string();
  metrics_.CountResponse(status);
  if (table_.At(index).headOnly) {
    metrics_.CountResponse(200);
    table_.Queue(index, std::make_unique<ResponseSender>(std::vector<std::string>{head}));
    return;
  }
  table_.Queue(index, std::make_unique<ResponseSender>(head, std::move(body)));
}

void Answers::Json(int index, PostSource source, const std::string& body, int status,
                   const std::string& moreFields) {
  if (!IsWebhook(source)) {
    Body(index, kJsonContentType, std::make_shared<const std::string>(body), status, moreFields);
    return;
  }
  metrics_.CountResponse(status);
  table_.Queue(index, std::make_unique<ResponseSender>(
                          ResponseHead(status, kJsonContentType, static_cast<int64_t>(body.size()),
                                       moreFields),
                          std::make_shared<const std::string>(body)));
}

void Answers::NotSent(int index, PostSource source, const std::string& reason,
                      const std::string& page, int status, const std::string& fields) {
  if (source == PostSource::kJson || IsWebhook(source)) {
    Json(index, source, JsonNotSent(reason), status, fields);
  } else {
    Body(index, ContentTypeFor("HTM"), std::make_shared<const std::string>(page), status, fields);
  }
}

void Answers::Refused(int index, const HttpRequest& request, Refusal refusal) {
  static const std::string kChallenge =
      std::string("WWW-Authenticate: Basic realm=\"") + kBasicRealm + "\"\r\n";
  metrics_.CountRefusal(refusal == Refusal::kAddress     ? ServerMetrics::kAddress
                        : refusal == Refusal::kLockedOut ? ServerMetrics::kLockedOut
                        : refusal == Refusal::kBusy      ? ServerMetrics::kPasswordBusy
                                                         : ServerMetrics::kPassword);
  int status = 401;
  const std::string* page = &PasswordPage();
  std::string reason = "a password is wanted (HTTP Basic)";
  std::string fields = kChallenge;
  switch (refusal) {
    case Refusal::kAddress:
      status = 403;
      page = &RefusedPage();
      reason = "this address may not use the server";
      fields.clear();
      break;
    case Refusal::kLockedOut:
      page = &LockedOutPage();
      reason = "too many wrong passwords came from this address: try again in a minute";
      fields += "Retry-After: 60\r\n";
      break;
    case Refusal::kBusy:
      status = 503;
      page = &BusyPage();
      reason = "too many passwords to check at once: try again in a second";
      fields = "Retry-After: 1\r\n";
      break;
    case Refusal::kWrongPassword:
      page = &WrongPasswordPage();
      reason = "wrong password";
      break;
    case Refusal::kPassword:
    case Refusal::kUnchecked:
    case Refusal::kNone:
      break;
  }
  NotSent(index, request.Source(), reason, *page, status, fields);
}

void Answers::UnknownHost(int index, const HttpRequest& request, const std::string& name) {
  metrics_.CountRefusal(ServerMetrics::kUnknownHost);
  const std::string why = name.empty() ? "the request names no host (Host): nothing was sent"
                                       : "the server does not know the name " + name +
                                             ": add it to [HTTP] Hosts in VELWEB.INI";
  NotSent(index, request.Source(), why, UnknownHostPage(name), name.empty() ? 400 : 421, {});
}

void Answers::RequestRefused(int index, const HttpRequest& request, int status) {
  const bool tooLong = status == 413;
  const std::string why =
      tooLong
          ? "the request is longer than " + std::to_string(table_.Limits().maxRequestBytes) +
                " bytes: nothing was sent"
          : std::string("the ") +
                (table_.At(index).refusedFault ? table_.At(index).refusedFault
                                               : "request's Content-Length is no plain number") +
                ": nothing was sent";
  NotSent(index, request.Source(), why, tooLong ? TooLargePage() : BadRequestPage(), status, {});
}

void Answers::Status(int index, StatusAnswer answer) {
  // Always with a status line: monitoring reads the status.
  table_.MarkStatusRequest(index);
  const std::string head =
      ResponseHead(answer.status, answer.contentType, static_cast<int64_t>(answer.body.size()));
  table_.Queue(index, std::make_unique<ResponseSender>(
                          head, std::make_shared<const std::string>(std::move(answer.body))));
}

}  // namespace vel
