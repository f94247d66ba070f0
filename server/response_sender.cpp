#include "response_sender.h"

#include <sys/stat.h>

#include "socket_facility.h"

namespace vel {

namespace {

bool ReadPiece(std::FILE* file, int64_t& remaining, std::string& piece) {
  const size_t length = static_cast<size_t>(std::min<int64_t>(remaining, kFilePieceBytes));
  piece.resize(length);
  if (length > 0 && std::fread(piece.data(), 1, length, file) != length) return false;
  remaining -= static_cast<int64_t>(length);
  return true;
}

}  // namespace

ResponseSender::ResponseSender(std::vector<std::string> pieces)
    : pieces_(pieces.begin(), pieces.end()) {}

ResponseSender::ResponseSender(std::vector<std::string> pieces, std::FILE* file, int64_t length,
                               std::string firstPiece)
    : pieces_(pieces.begin(), pieces.end()), file_(file) {
  remaining_ = length - static_cast<int64_t>(firstPiece.size());
  if (!firstPiece.empty()) pieces_.push_back(std::move(firstPiece));
}

ResponseSender::~ResponseSender() {
  if (file_) std::fclose(file_);
}

ResponseSender::Step ResponseSender::SendNext(Winsock& socket) {
  if (pieces_.empty() && file_ && remaining_ > 0) {
    std::string piece;
    if (!ReadPiece(file_, remaining_, piece)) return Step::kFailed;
    pieces_.push_back(std::move(piece));
  }
  if (file_ && remaining_ == 0) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (pieces_.empty()) return Step::kFinished;
  while (!pieces_.empty()) {
    socket.SendData(pieces_.front());
    pieces_.pop_front();
  }
  return Step::kQueued;
}

std::unique_ptr<ResponseSender> ResponseSender::ForFile(
    const std::string& path, const std::function<std::string(int64_t length)>& head) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return nullptr;
  struct stat info {};
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) {
    std::fclose(file);
    return nullptr;
  }
  const int64_t length = info.st_size;
  int64_t remaining = length;
  std::string first;
  if (!ReadPiece(file, remaining, first)) {
    std::fclose(file);
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
