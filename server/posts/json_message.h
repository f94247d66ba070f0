// Messages from programs: a POST whose Content-Type is application/json, with the body
//
//   {"receivers": ["Fire Brigade", "alpha team"], "message": "Gas leak at school"}
//
// in UTF-8, is handed over as the form with the same fields would be, its texts turned
// into Windows-1252. The answer is JSON as well, in UTF-8:
//
//   {"sent": true, "receivers": ["Fire Brigade", "alpha team"]}
//   {"sent": false, "error": "<reason>"}
//
// Nothing is handed over when the body is not JSON, lacks a field, has an empty name or
// message, or holds a character that Windows-1252 cannot. Parsing is Qt's
// (QJsonDocument); the rest are pure functions.
#pragma once

#include <string>

#include "json_answer.h"
#include "outbox.h"
#include "submission.h"

class QJsonDocument;

namespace vel {

struct JsonMessage {
  Submission submission;  // when `error` is empty
  std::string error;      // why it is no message that can be handed over, in UTF-8
};

JsonMessage ParseJsonMessage(const std::string& body);

// Parses `body` as JSON into `document`; false, with `error` saying where, when it is none.
bool ParseJsonBody(const std::string& body, QJsonDocument& document, std::string& error);

// {"sent": true, "receivers": [...]} for the receivers of a submission (each followed by
// 0xFE, in Windows-1252).
std::string JsonSent(const std::string& receivers);
// The names of `receivers` (each followed by 0xFE, in Windows-1252) as JSON texts
// separated by ", ": what stands between the brackets of a list of them.
std::string JsonNames(const std::string& receivers);
// The same names in UTF-8, separated by ", ", for a reason.
std::string Utf8Names(const std::string& receivers);
// {"id": N, "state": "...", "user": ..., "address": "...", "message": "...", "receivers":
// [...], "accepted": "...Z", "passed": ..., "taken": ..., "expired": ...}: a message of the
// outbox, its texts in UTF-8, its times in UTC (null: not yet; "user" null without one).
std::string MessageJson(const MessageStatus& status);

// Why a message with this outcome was not handed over, for the "error" of the answer.
std::string NotSentReason(SubmitOutcome outcome);

}  // namespace vel
