// Rendered pages kept between requests. A page that shows no submitted message depends
// only on its file and on the receiver list, so it is rendered once and its bytes are sent
// again until either changes: the file is known by its device, inode, size and change
// times, the list by a generation number that the server bumps on every load. The server
// keeps small files that it sends as they are (images) in a second cache of this kind,
// with a generation that never changes.
//
// A page whose file changed in the last two seconds is not kept, since file times are too
// coarse to tell two quick writes apart. The cache holds a few pages only (a site has a handful);
// the oldest entry gives way.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vel {

class PageCache {
 public:
  // A page is kept once per language and per user whose receivers are limited: room for
  // the shipped pages in both languages and a few dozen such users.
  static constexpr size_t kMaxPages = 64;

  // The rendered bytes of `path`, when they were stored for the same file state and list
  // generation; nothing otherwise.
  std::shared_ptr<const std::string> Find(const std::string& path, const struct stat& info,
                                          uint64_t listGeneration) const;
  // Keeps `body` for `path` unless the file changed too recently to be told apart.
  void Store(const std::string& path, const struct stat& info, uint64_t listGeneration,
             std::shared_ptr<const std::string> body);
  void Clear() { entries_.clear(); }
  size_t Size() const { return entries_.size(); }

 private:
  struct Entry {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    uint64_t listGeneration = 0;
    std::shared_ptr<const std::string> body;
  };
  static bool SameFile(const Entry& entry, const struct stat& info);

  std::vector<Entry> entries_;  // oldest first
};

}  // namespace vel
