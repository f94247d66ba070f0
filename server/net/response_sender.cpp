#include "response_sender.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "file_io.h"
#include "socket_facility.h"

namespace vel {

namespace {

// Plain descriptor reads: a piece is read once, so a stdio buffer would only copy it.
bool ReadPiece(int file, int64_t& remaining, std::string& piece) {
  const size_t length = static_cast<size_t>(std::min<int64_t>(remaining, kFilePieceBytes));
  piece.resize(length);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::read(file, piece.data() + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // an error, or the file became shorter
    done += static_cast<size_t>(n);
  }
  remaining -= static_cast<int64_t>(length);
  return true;
}

}  // namespace

ResponseSender::ResponseSender(std::vector<std::string> pieces)
    : pieces_(pieces.begin(), pieces.end()) {}

ResponseSender::ResponseSender(const std::string& head, std::shared_ptr<const std::string> body) {
  if (head.empty()) {
    if (body && !body->empty()) body_ = std::move(body);
  } else {
    pieces_.push_back(body ? head + *body : head);  // one write for both
  }
}

ResponseSender::ResponseSender(std::vector<std::string> pieces, int file, int64_t length,
                               std::string firstPiece)
    : pieces_(pieces.begin(), pieces.end()), file_(file) {
  remaining_ = length - static_cast<int64_t>(firstPiece.size());
  if (!firstPiece.empty()) pieces_.push_back(std::move(firstPiece));
}

ResponseSender::~ResponseSender() {
  if (file_ >= 0) ::close(file_);
}

ResponseSender::Step ResponseSender::SendNext(ConnectionSockets& sockets, int index) {
  if (body_) {
    sockets.SendData(index, *body_);
    body_.reset();
    return Step::kQueued;
  }
  if (pieces_.empty() && file_ >= 0 && remaining_ > 0) {
    std::string piece;
    if (!ReadPiece(file_, remaining_, piece)) return Step::kFailed;
    pieces_.push_back(std::move(piece));
  }
  if (file_ >= 0 && remaining_ == 0) {
    ::close(file_);
    file_ = -1;
  }
  size_t length = 0;
  for (const std::string& piece : pieces_) length += piece.size();
  if (length == 0) {
    pieces_.clear();
    return Step::kFinished;  // nothing queued means no completion to wait for
  }
  // One hand-over for everything that is ready (a head and the body behind it go out in
  // one write); a single piece is passed as it is.
  if (pieces_.size() == 1) {
    sockets.SendData(index, pieces_.front());
  } else {
    std::string joined;
    joined.reserve(length);
    for (const std::string& piece : pieces_) joined += piece;
    sockets.SendData(index, joined);
  }
  pieces_.clear();
  return Step::kQueued;
}

std::unique_ptr<ResponseSender> ResponseSender::ForFile(
    const std::string& path, const std::function<std::string(int64_t length)>& head) {
  const int file = OpenRegularFile(path);
  if (file < 0) return nullptr;
  struct stat info {};
  if (fstat(file, &info) != 0) {
    ::close(file);
    return nullptr;
  }
  const int64_t length = info.st_size;
  int64_t remaining = length;
  std::string first;
  if (!ReadPiece(file, remaining, first)) {
    ::close(file);
    return nullptr;
  }
  std::vector<std::string> pieces;
  if (head) {
    std::string h = head(length);
    if (!h.empty()) pieces.push_back(std::move(h));
  }
  return std::make_unique<ResponseSender>(std::move(pieces), file, length, std::move(first));
}

}  // namespace vel
