// The event log: WriteLog hands each event, stamped and tagged "WEB ", to the exchange
// library, which appends it to the day's file "YYYYMMDD.LOG" in the program directory
// and to the shared system log. WriteLog never fails towards its caller, and never waits
// for the library: the line is stamped at once and written from the exchange thread, in
// the order of the calls.
#pragma once

#include <ctime>
#include <string>

namespace vel {

// "YYYYMMDD.LOG" for the date of `when`.
std::string LogFileName(const std::tm& when);
// "YY-MM-DD HH:NN:SS WEB " + text, or "-" unchanged.
std::string LogLine(const std::tm& when, const std::string& text);

void WriteLog(const std::string& text);

// The same, from a job that already runs on the exchange thread: written before the
// job goes on.
void WriteLogFromExchange(const std::string& text);

}  // namespace vel
