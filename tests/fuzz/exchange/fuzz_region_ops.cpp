// The region operations driven by hostile arguments and a hostile region: every text
// length, buffer size, rewind flag and damaged count or buffer. Buffers are allocated at
// their exact size, so any write past them is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "region_ops.h"

namespace {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
  int32_t Int() { return static_cast<int32_t>(Word() | static_cast<uint32_t>(Word()) << 16); }
  // A text of up to `limit` bytes (no zero byte inside: the caller's strings end at one).
  std::string Text(std::size_t limit) {
    std::size_t length = Word() % (limit + 1);
    std::string text;
    while (length-- > 0 && !empty()) {
      const uint8_t b = Byte();
      text += static_cast<char>(b == 0 ? 1 : b);
    }
    return text;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

void Check(bool ok) {
  if (!ok) std::abort();
}

// After a store the count and read position are sound again; a take leaves a damaged
// count as it found it but keeps its read position within what it could hand out.
void CheckQueue(const velmar::SharedRegion& r, velmar::Queue q, bool stored) {
  int32_t count, read, capacity;
  switch (q) {
    case velmar::Queue::SysLog:
      count = r.SysLogCount, read = r.SysLogRead, capacity = velmar::kSysLogCapacity;
      break;
    case velmar::Queue::TreeView:
      count = r.TreeViewCount, read = r.TreeViewRead, capacity = velmar::kTreeViewCapacity;
      break;
    default:
      count = r.DebugCount, read = r.DebugRead, capacity = velmar::kDebugCapacity;
      break;
  }
  if (stored) Check(count >= 0 && count <= capacity);
  const int32_t usable = count < 0 ? 0 : (count > capacity ? capacity : count);
  Check(read >= 0 && read <= usable);
}

// Calls with a buffer of exactly `size` bytes (none at all for 0).
template <typename Call>
int16_t WithBuffer(uint16_t size, Call call) {
  std::unique_ptr<char[]> buffer(size > 0 ? new char[size] : nullptr);
  const int16_t n = call(buffer.get(), size);
  Check(n >= 0 && (size == 0 ? n == 0 : n < size));
  if (size > 0) Check(std::memchr(buffer.get(), 0, size) != nullptr || n == 0);
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto region = std::make_unique<velmar::SharedRegion>();
  velmar::SharedRegion& r = *region;
  Input in(data, size);
  while (!in.empty()) {
    const uint8_t op = in.Byte();
    const auto queue = static_cast<velmar::Queue>(in.Byte() % 3);
    switch (op % 9) {
      case 0: {
        const velmar::TreeViewNumbers n{in.Int(), in.Int(), in.Int(), in.Int()};
        velmar::StoreQueueEntry(r, queue, in.Text(300).c_str(), &n);
        CheckQueue(r, queue, true);
        break;
      }
      case 1: {
        const bool rewind = in.Byte() & 1;
        const uint16_t size = in.Word() % 300;
        int32_t numbers[4];
        const velmar::TreeViewTargets targets{&numbers[0], &numbers[1], &numbers[2], &numbers[3]};
        WithBuffer(size, [&](char* b, uint16_t s) {
          return velmar::TakeQueueEntry(r, queue, rewind, b, s, &targets);
        });
        if (size > 0) CheckQueue(r, queue, false);  // size 0 changes nothing, damage included
        break;
      }
      case 2: {
        const std::string command = in.Text(5000);
        const int before = velmar::PeekCommandLength(r);
        const bool stored = velmar::StoreCommand(r, command.c_str());
        if (stored)
          Check(velmar::PeekCommandLength(r) == before + static_cast<int>(command.size()) + 1);
        Check(velmar::PeekCommandLength(r) < velmar::kCommandBufferSize);
        break;
      }
      case 3:
        WithBuffer(in.Word() % 5000,
                   [&](char* b, uint16_t s) { return velmar::TakeCommand(r, b, s); });
        Check(velmar::PeekCommandLength(r) < velmar::kCommandBufferSize);
        break;
      case 4:
        velmar::StoreSysInfo(r, in.Text(300).c_str());
        Check(std::memchr(r.SysInfo, 0, sizeof r.SysInfo) != nullptr);
        break;
      case 5:
        WithBuffer(in.Word() % 300,
                   [&](char* b, uint16_t s) { return velmar::ReadSysInfo(r, b, s); });
        break;
      case 6: {
        // Damage: a count or read position, or any byte of the region.
        const uint16_t where = in.Word();
        if (where & 0x8000) {
          const int32_t value = in.Int();
          std::memcpy(reinterpret_cast<char*>(&r) + (where % 6) * 4, &value, 4);
        } else {
          reinterpret_cast<uint8_t*>(&r)[where % velmar::kRegionSize] = in.Byte();
        }
        break;
      }
      case 7: {
        const uint32_t mask = static_cast<uint32_t>(in.Int());
        velmar::ChangeRunningApps(r, mask, in.Byte() & 1);
        Check(velmar::AnyRunningApp(r, mask) == ((velmar::LoadRunningApps(r) & mask) != 0));
        break;
      }
      default: {
        const int16_t before = velmar::LoadProcessCount(r);
        velmar::DecrementProcessCount(r);
        Check(velmar::LoadProcessCount(r) == (before > 0 ? before - 1 : before));
        break;
      }
    }
  }
  return 0;
}
