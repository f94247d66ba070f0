// The answers a connection gets, made and handed to the connection table (Queue): pages
// rendered from their files, files sent as they are, not-found, the refusals of the
// access checks and of a request that is too long or has no plain length, JSON to
// programs, and the answers to monitoring.
//
// - Every answer is counted by its status (ServerMetrics::CountResponse) but the status
//   requests'. With status lines on, it starts with its head (page.h's ResponseHead); a
//   HEAD request (Connection::headOnly) gets the head alone. Monitoring systems (the
//   webhooks, /metrics, /health) always get a status line.
// - A page that shows no posted message is rendered once and sent from a cache until
//   its file or the receiver list changes; small files (images) are kept as they are.
// - An answer that needs a file when the process has no descriptor left waits for one
//   (ConnectionTable::AwaitDescriptor) and is made again: a client is never told that a
//   file it asked for is missing when it is not.
// - Names are looked up in the program directory only: a symbolic link is followed only
//   when what it leads to lies inside it.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "access_policy.h"
#include "connection_table.h"
#include "metrics.h"
#include "monitor.h"
#include "page_cache.h"
#include "page_languages.h"
#include "receiver_list.h"
#include "request.h"
#include "users_file.h"

namespace vel {

// What a page shows of a posted message.
struct ShownMessage {
  std::string receivers;  // each name followed by 0xFE
  std::string message;
  bool handedOver = true;   // false: "[Not Sent]"
  std::string waitingNote;  // why a message handed over waits
  std::string messageId;    // with an outbox: the message's id and its state at the answer
  std::string state;
  // With accounts, a user who may page only some receivers: [RECEIVERS] lists those.
  std::optional<UserAccount> viewer;
  // With an outbox: the messages a page's [HISTORY] lists, for this client.
  std::function<std::vector<MessageStatus>()> history;
  const PageLanguage* language = nullptr;  // of the page's texts; nullptr: the profile's
};

class Answers {
 public:
  Answers(ConnectionTable& table, ServerMetrics& metrics, const ReceiverList& receivers)
      : table_(table), metrics_(metrics), receivers_(receivers) {}
  Answers(const Answers&) = delete;
  Answers& operator=(const Answers&) = delete;

  void SetStatusLines(bool on) { statusLines_ = on; }
  // The languages of the pages' texts: every language file of `dir`, [General] Language
  // `profileCode` the default.
  void LoadLanguages(const std::string& dir, const std::string& profileCode) {
    languages_.Load(dir, profileCode);
  }
  // The language a page is shown in for `request` (its Accept-Language).
  const PageLanguage* LanguageFor(const HttpRequest& request) const {
    return languages_.Choose(request.HeaderValues("Accept-Language"));
  }

  // The page of the file `path` (whose status is `info`), with its placeholders filled.
  void Page(int index, const std::string& path, const struct stat& info,
            const ShownMessage& shown = {}, int status = 200, const std::string& moreFields = {});
  // The file that `target` names (an image or another file sent as it is), or not-found.
  void File(int index, const RequestTarget& target);
  // A missing page: in JSON to a program that posted JSON.
  void NotFound(int index, const HttpRequest& request);
  // A whole answer in memory.
  void Body(int index, const std::string& contentType, std::shared_ptr<const std::string> body,
            int status = 200, const std::string& moreFields = {});
  // JSON to a program; to a monitoring system always with its status line.
  void Json(int index, PostSource source, const std::string& body, int status,
            const std::string& moreFields = {});
  // A refusal of the access checks (401, 403, 503).
  void Refused(int index, const HttpRequest& request, Refusal refusal);
  // A request for a host name that is not the server's (421), or without Host (400).
  void UnknownHost(int index, const HttpRequest& request, const std::string& name);
  // A request refused before it was whole (413: too long; 400: framed other than plainly,
  // as Connection::refusedFault says). `request` holds what came of it.
  void RequestRefused(int index, const HttpRequest& request, int status);
  // /metrics and /health: not counted as served.
  void Status(int index, StatusAnswer answer);

  // Where the page `fileName` lies in the program directory, whatever the case of its
  // name on disk, and its status; false when there is no such regular file.
  static bool FindPage(const std::string& fileName, std::string& path, struct stat& info);

 private:
  // The file at `path` sent as it is; false when it is no regular file or cannot be read.
  bool SendFile(int index, const std::string& path, const std::string& extension);
  void SendNotFound(int index);
  // JSON or `page`, as the request's source wants it.
  void NotSent(int index, PostSource source, const std::string& reason, const std::string& page,
               int status, const std::string& fields);

  ConnectionTable& table_;
  ServerMetrics& metrics_;
  const ReceiverList& receivers_;
  bool statusLines_ = false;
  PageCache pageCache_;
  PageCache fileCache_;  // small files sent as they are (generation 0)
  PageLanguages languages_;
};

}  // namespace vel
