// The event log, the record of what the server did, for the admin and for the other
// programs of the family: each event, stamped and tagged "WEB ", goes through the
// exchange library into the day's file "YYYYMMDD.LOG" of the program directory and into
// the shared system log; warnings for the person who runs the server go to the front
// end. Logging never fails towards its caller and never waits for the library: a line
// is stamped at once and written from the exchange thread, in the order of the calls.
#pragma once

#include <QObject>
#include <ctime>
#include <functional>
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

// From the exchange thread: a warning for the person who runs the server (messages that
// could not be kept, say), passed to `report` on the event loop's thread of `context`
// (SetWarningReport), or on standard error while none is set. A line that does not reach
// the day's log file whole (a full disk, a device that refuses writes) is warned about
// this way with the system's reason, at most once a minute. Serving goes on either way.
void WarnFromExchange(const std::string& text);
void SetWarningReport(QObject* context, std::function<void(const std::string&)> report);

}  // namespace vel
