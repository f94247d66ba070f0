// One response on its way out: pieces already in memory (a page's lines, the not-found
// page, an HTTP head) followed, for a file, by the file itself. A file is read one piece
// of 10,240 bytes at a time, and the next piece only when the socket has sent the
// previous one, so a large file never sits whole in memory or in the socket's queue.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vel {

class ConnectionSockets;

inline constexpr size_t kFilePieceBytes = 10240;

class ResponseSender {
 public:
  enum class Step { kQueued, kFinished, kFailed };

  explicit ResponseSender(std::vector<std::string> pieces);
  // A page: `head` (may be empty) and a rendered body that others may share; a body
  // without a head is sent from where it lies, without a copy.
  ResponseSender(const std::string& head, std::shared_ptr<const std::string> body);
  // Takes over an open file descriptor of a file of `length` bytes, whose first piece has
  // been read already.
  ResponseSender(std::vector<std::string> pieces, int file, int64_t length, std::string firstPiece);
  ~ResponseSender();
  ResponseSender(const ResponseSender&) = delete;
  ResponseSender& operator=(const ResponseSender&) = delete;

  // Queues on connection `index` what may go out now: every piece in memory, then the
  // next file piece. kFinished when nothing was left to queue; kFailed when the file
  // could not be read.
  Step SendNext(ConnectionSockets& sockets, int index);
  // True when everything has been queued: nothing more for SendNext to do.
  bool Exhausted() const { return pieces_.empty() && !body_ && file_ < 0; }

  // Opens `path` and reads its first piece: nothing when the file cannot be opened or
  // read. `head` is built from the file's length and queued in front of it.
  static std::unique_ptr<ResponseSender> ForFile(
      const std::string& path, const std::function<std::string(int64_t length)>& head);

 private:
  std::deque<std::string> pieces_;
  std::shared_ptr<const std::string> body_;  // sent alone, before any piece
  int file_ = -1;
  int64_t remaining_ = 0;  // file bytes not yet read
};

}  // namespace vel
