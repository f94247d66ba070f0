// The event log: WriteLog hands each event, stamped and tagged "WEB ", to the exchange
// library, which appends it to the day's file "YYYYMMDD.LOG" in the program directory
// and to the shared system log. WriteLog never fails towards its caller.
#pragma once

#include <ctime>
#include <string>

namespace vel {

// "YYYYMMDD.LOG" for the date of `when`.
std::string LogFileName(const std::tm& when);
// "YY-MM-DD HH:NN:SS WEB " + text, or "-" unchanged.
std::string LogLine(const std::tm& when, const std::string& text);

void WriteLog(const std::string& text);

}  // namespace vel
