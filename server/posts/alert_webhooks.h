// Messages that other systems post in shapes of their own, each made into an ordinary
// posted message (a Submission) or refused with a reason:
//
// - POST /alertmanager with the JSON an Alertmanager webhook receiver sends, and
//   POST /grafana with the JSON of a Grafana webhook contact point. The receivers come
//   from the query (?receivers=Fire+Brigade&receivers=Alpha+Team); ?resolved=0 leaves
//   resolved notifications and alerts out. The message text tells the notification's
//   status and its alerts, firing ones first:
//
//     FIRING: Disk full on db1 (db1:9100); Load high (web2:9100); RESOLVED: Fan failed
//
//   Each alert is its "summary" annotation, else its "description", else its
//   "alertname" label, with its "instance" label in brackets when it has one. Grafana's
//   "title", when present, is the message instead. A text too long for the command
//   buffer is cut after the last alert that fits and ends with "(+N more)"; alerts the
//   sender left out itself (truncatedAlerts) count among them. Characters Windows-1252
//   cannot hold become "?", line ends and other control characters blanks: an alert
//   is never refused for its wording.
// - A POST of Content-Type text/plain (UTF-8) to a page that takes the form: the body is
//   the message, the receivers come from the query. It is typed text, so a character
//   that Windows-1252 cannot hold refuses it, as for JSON.
//
// Pure functions on byte strings (JSON and UTF-8 through Qt Core).
#pragma once

#include <cstddef>
#include <string>

#include "request.h"
#include "submission.h"

namespace vel {

// What the log lines call a request of this source: "Alertmanager notification",
// "Grafana notification", "HTTP message request".
std::string SourceNoun(PostSource source);

struct PostedMessage {
  Submission submission;  // when `error` is empty and the message is not skipped
  std::string error;      // why nothing can be handed over, in UTF-8 (answered with 400)
  bool skipped = false;   // a resolved notification, and resolved=0: answered, not sent
};

// The answer to a notification left out: {"sent": false, "skipped": "..."}.
std::string JsonSkipped();

// A complete request of the source kText, kAlertmanager or kGrafana, read as a message.
PostedMessage ParsePostedMessage(PostSource source, const HttpRequest& request);

// The message text of an Alertmanager or Grafana payload (the body, in UTF-8) in at most
// `room` bytes of Windows-1252, without the resolved alerts when `withResolved` is false.
// `error` says why the payload is not what the path expects.
struct AlertText {
  std::string text;
  std::string error;
  bool skipped = false;  // a resolved notification, left out
};
AlertText AlertMessage(PostSource source, const std::string& body, size_t room,
                       bool withResolved = true);

}  // namespace vel
