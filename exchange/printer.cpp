#include "printer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "text_output.h"

namespace velmar {

const char* PrinterDirectory() {
  const char* dir = std::getenv("VELMAR_PRINTER_DIR");
  return (dir != nullptr && *dir != '\0') ? dir : "/dev";
}

bool PrintOnPort(const char* deviceDir, const char* text, uint32_t port) {
  if (port > kHighestPort) return false;
  char device[4096];
  const int n = std::snprintf(device, sizeof device, "%s/lp%u", deviceDir, port);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof device) return false;

  // No O_CREAT: a port without a device must fail, not leave a file in its place.
  const int fd = open(device, O_WRONLY | O_APPEND | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  TextOutput out(fd);
  out.Write(text, std::strlen(text));
  const bool written = out.Flush();
  const bool closed = close(fd) == 0;
  return written && closed;
}

}  // namespace velmar
