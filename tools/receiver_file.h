// velctl's side of the receiver file (its bytes: common/receiver_file_format.h): strict
// reading that names what is wrong with a damaged file, sample receivers to write, and
// values as a person reads them.
#ifndef VELCTL_RECEIVER_FILE_H
#define VELCTL_RECEIVER_FILE_H

#include <string>
#include <string_view>
#include <vector>

#include "receiver_file_format.h"
#include "terminal_text.h"

namespace velctl {

// Reads a file; every record its count asks for is read, however many. Returns false
// with a reason in `error` when it is damaged (the records read whole so far are kept).
// A file of 0 or 1 byte holds no receivers.
bool DecodeReceiverFile(std::string_view bytes, vel::ReceiverFileContents& file,
                        std::string& error);

// Receivers with these names whose values go through every tag of the format in turn,
// so that four or more names use them all. A text value is this prefix and the name.
inline constexpr std::string_view kSampleTextPrefix = "Receiver ";
std::vector<vel::ReceiverRecord> SampleReceivers(const std::vector<std::string>& names);

// A value as a person reads it: "int32 7", "text \"abc\"", "date 36955.5" ... (texts
// as EscapeBytes shows them on `terminal`).
std::string DescribeValue(const vel::TaggedValue& value,
                          const vel::TerminalText* terminal = nullptr);

}  // namespace velctl

#endif  // VELCTL_RECEIVER_FILE_H
