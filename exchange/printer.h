// Printing on a parallel port.
//
// Port index n names the device "lp<n>" in the device directory: /dev unless the
// environment variable VELMAR_PRINTER_DIR names another one (tests point it at a
// directory of their own). The device is opened for writing, never created.
#ifndef VELMAR_PRINTER_H
#define VELMAR_PRINTER_H

#include <cstdint>

namespace velmar {

// Highest port index: the device name "LPT%u:" has room for seven characters.
constexpr uint32_t kHighestPort = 998;

// The device directory in effect: VELMAR_PRINTER_DIR when set and not empty, else /dev.
const char* PrinterDirectory();

// Writes text to port `port` of deviceDir with every line feed as CR LF. True when the
// device opened, the text was written and the device closed without error.
bool PrintOnPort(const char* deviceDir, const char* text, uint32_t port);

}  // namespace velmar

#endif  // VELMAR_PRINTER_H
