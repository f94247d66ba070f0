// The receiver-file reader of velctl on any bytes: it must end, and what it reads whole
// must encode back to the very bytes it came from.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "receiver_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  vel::ReceiverFileContents file;
  std::string error;
  const bool ok = velctl::DecodeReceiverFile(bytes, file, error);
  if (ok && size > 1) {
    const std::string again = vel::EncodeReceiverFile(file.records, file.version);
    if (file.statedCount >= 0 && bytes.compare(0, again.size(), again) != 0) std::abort();
  }
  if (!ok && error.empty()) std::abort();
  return 0;
}
