// The lines of the system's 8-bit text files: web pages and language files alike.
#pragma once

#include <string>
#include <vector>

namespace vel {

// A line ends at CR or CR LF; a line feed without a CR in front of it belongs to the
// line; a terminator at the end starts no further line.
std::vector<std::string> SplitTextLines(const std::string& bytes);

}  // namespace vel
