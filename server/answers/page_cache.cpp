#include "page_cache.h"

#include <algorithm>
#include <ctime>

namespace vel {

namespace {

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// File times tick coarsely (a few milliseconds), so a file written twice within one tick
// keeps its times. A page changed less than this long ago is therefore not kept: any later
// write then moves its change time past the stored one.
constexpr time_t kSettleSeconds = 2;

bool RecentlyChanged(const struct stat& info) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return info.st_ctim.tv_sec + kSettleSeconds > now.tv_sec;
}

}  // namespace

bool PageCache::SameFile(const Entry& entry, const struct stat& info) {
  return entry.device == info.st_dev && entry.inode == info.st_ino && entry.size == info.st_size &&
         SameTime(entry.modified, info.st_mtim) && SameTime(entry.changed, info.st_ctim);
}

std::shared_ptr<const std::string> PageCache::Find(const std::string& path, const struct stat& info,
                                                   uint64_t listGeneration) const {
  for (const Entry& entry : entries_) {
    if (entry.path != path) continue;
    if (entry.listGeneration != listGeneration || !SameFile(entry, info)) return nullptr;
    return entry.body;
  }
  return nullptr;
}

void PageCache::Store(const std::string& path, const struct stat& info, uint64_t listGeneration,
                      std::shared_ptr<const std::string> body) {
  if (RecentlyChanged(info)) return;
  std::erase_if(entries_, [&](const Entry& entry) { return entry.path == path; });
  if (entries_.size() >= kMaxPages) entries_.erase(entries_.begin());
  Entry entry;
  entry.path = path;
  entry.device = info.st_dev;
  entry.inode = info.st_ino;
  entry.size = info.st_size;
  entry.modified = info.st_mtim;
  entry.changed = info.st_ctim;
  entry.listGeneration = listGeneration;
  entry.body = std::move(body);
  entries_.push_back(std::move(entry));
}

}  // namespace vel
