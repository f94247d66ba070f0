#include "json_message.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <cstdio>
#include <ctime>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "command_entry.h"
#include "json_answer.h"
#include "request.h"
#include "terminal_text.h"
#include "text_case.h"

namespace vel {

namespace {

const TerminalText& Utf8() { return TerminalText::Utf8(); }

// `text` in Windows-1252, or false with the reason (naming `what`) in `error`. A lone
// surrogate ("\ud800" alone) is no character at all: it is refused, never replaced.
bool ToCp1252(const QString& text, const std::string& what, std::string& cp1252,
              std::string& error) {
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
      ++i;
    } else if (c.isSurrogate()) {
      char code[8];
      std::snprintf(code, sizeof code, "%04x", c.unicode());
      error = what + ": holds a lone surrogate (\\u" + code + "), which is no character";
      return false;
    }
  }
  std::string why;
  if (Utf8().FromTerminal(text.toStdString(), cp1252, why)) return true;
  error = what + ": " + why;
  return false;
}

// The text of a JSON string token (with its quotes), decoded.
QString StringToken(std::string_view token) {
  if (token.find('\\') == std::string_view::npos) {
    return QString::fromUtf8(token.data() + 1, static_cast<qsizetype>(token.size()) - 2);
  }
  const QByteArray array =
      "[" + QByteArray(token.data(), static_cast<qsizetype>(token.size())) + "]";
  return QJsonDocument::fromJson(array).array().at(0).toString();
}

// The first key given twice in one object of `json` (a text the parser has taken), as
// UTF-8; nullopt when every key is given once. The parser itself keeps the last one.
std::optional<std::string> KeyGivenTwice(const std::string& json) {
  struct Level {
    bool object = false;
    bool keyNext = false;
    std::set<QString> keys;
  };
  std::vector<Level> levels;
  for (size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (c == '"') {
      const size_t start = i;
      for (++i; i < json.size() && json[i] != '"'; ++i) {
        if (json[i] == '\\') ++i;
      }
      if (levels.empty() || !levels.back().object || !levels.back().keyNext) continue;
      levels.back().keyNext = false;
      const QString key = StringToken(std::string_view(json).substr(start, i + 1 - start));
      if (!levels.back().keys.insert(key).second) return key.toStdString();
    } else if (c == '{' || c == '[') {
      levels.push_back({c == '{', c == '{', {}});
    } else if ((c == '}' || c == ']') && !levels.empty()) {
      levels.pop_back();
    } else if (c == ',' && !levels.empty() && levels.back().object) {
      levels.back().keyNext = true;
    }
  }
  return std::nullopt;
}

}  // namespace

bool ParseJsonBody(const std::string& body, QJsonDocument& document, std::string& error) {
  QJsonParseError parseError;
  document = QJsonDocument::fromJson(QByteArray::fromStdString(body), &parseError);
  if (parseError.error == QJsonParseError::NoError) return true;
  error = "the body is not JSON (" + parseError.errorString().toStdString() + " at byte " +
          std::to_string(parseError.offset) + ")";
  return false;
}

JsonMessage ParseJsonMessage(const std::string& body) {
  JsonMessage result;
  QJsonDocument document;
  if (!ParseJsonBody(body, document, result.error)) return result;
  if (!document.isObject()) {
    result.error = "the body must be a JSON object with \"receivers\" and \"message\"";
    return result;
  }
  if (const std::optional<std::string> twice = KeyGivenTwice(body)) {
    result.error = "the key " + JsonString(QString::fromStdString(*twice)) + " is given twice";
    return result;
  }
  const QJsonObject object = document.object();
  const QJsonValue receivers = object.value("receivers");
  if (!receivers.isArray() || receivers.toArray().isEmpty()) {
    result.error = "\"receivers\" must be a list of receiver names";
    return result;
  }
  Submission& submission = result.submission;
  int n = 0;
  for (const QJsonValue& value : receivers.toArray()) {
    ++n;
    const std::string what = "receiver " + std::to_string(n);
    if (!value.isString() || value.toString().isEmpty()) {
      result.error = what + " must be a name that is not empty";
      return result;
    }
    std::string name;
    if (!ToCp1252(value.toString(), what, name, result.error)) return result;
    submission.receivers += name;
    submission.receivers += '\xFE';
    submission.holdsSeparator = submission.holdsSeparator || HoldsSeparator(name);
  }
  const QJsonValue message = object.value("message");
  if (!message.isString() || message.toString().isEmpty()) {
    result.error = "\"message\" must be a text that is not empty";
    return result;
  }
  if (!ToCp1252(message.toString(), "\"message\"", submission.message, result.error)) return result;
  submission.holdsSeparator = submission.holdsSeparator || HoldsSeparator(submission.message);
  return result;
}

std::string JsonNames(const std::string& receivers) {
  std::string names;
  for (const std::string& name : ReceiverNames(receivers)) {
    if (!names.empty()) names += ", ";
    names += JsonString(QString::fromStdString(Utf8().ToTerminal(name)));
  }
  return names;
}

std::string Utf8Names(const std::string& receivers) {
  std::vector<std::string> names = ReceiverNames(receivers);
  for (std::string& name : names) name = Utf8().ToTerminal(name);
  return JoinedNames(names);
}

std::string JsonSent(const std::string& receivers) {
  return "{\"sent\": true, \"receivers\": [" + JsonNames(receivers) + "]}\n";
}

namespace {

std::string JsonTime(int64_t ms) {
  if (ms == 0) return "null";
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "\"%04d-%02d-%02dT%02d:%02d:%02d.%03dZ\"", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(ms % 1000));
  return text;
}

}  // namespace

std::string MessageJson(const MessageStatus& status) {
  const CommandParts parts = SplitCommand(status.entry);
  const std::string& receivers = parts.receivers;
  const std::string& text = parts.message;
  const bool taken = status.state == MessageState::kTaken;
  const bool expired = status.state == MessageState::kExpired;
  auto json = [](const std::string& cp1252) {
    return JsonString(QString::fromStdString(Utf8().ToTerminal(cp1252)));
  };
  return "{\"id\": " + std::to_string(status.id) + ", \"state\": \"" + StateName(status.state) +
         "\", \"user\": " + (status.user.empty() ? "null" : json(status.user)) +
         ", \"address\": " + json(status.sender) + ", \"message\": " + json(text) +
         ", \"receivers\": [" + JsonNames(receivers) +
         "], \"accepted\": " + JsonTime(status.acceptedMs) +
         ", \"passed\": " + JsonTime(status.passedMs) +
         ", \"taken\": " + JsonTime(taken ? status.endedMs : 0) +
         ", \"expired\": " + JsonTime(expired ? status.endedMs : 0) + "}\n";
}

std::string NotSentReason(SubmitOutcome outcome) {
  switch (outcome) {
    case SubmitOutcome::kBad:
      return "no receivers or no message";
    case SubmitOutcome::kUnpassable:
      return "a receiver or the message holds \u00fe, \u00ff or a NUL character, which the "
             "alarm server cannot take";
    case SubmitOutcome::kOverLimit:
      return "send limit reached: try again in a minute";
    case SubmitOutcome::kNotTaken:
      return "the alarm server did not take the message";
    case SubmitOutcome::kCrossSite:
      return "a page of another web site sent this post";
    case SubmitOutcome::kUnknownReceiver:
      return "the receiver file holds no such receiver: nothing was sent";
    case SubmitOutcome::kBusy:
      return "the alarm server's exchange is busy: nothing was sent, try again later";
    case SubmitOutcome::kLengthRequired:
      return "the body must come with a Content-Length, not in chunks: nothing was sent";
    case SubmitOutcome::kTooLong:
      return "the message and its receivers are longer than the alarm server can ever take";
    case SubmitOutcome::kNotPermitted:
      return "this user may not page every receiver named: nothing was sent";
    case SubmitOutcome::kOutboxFull:
      return "the outbox is full: nothing was sent, try again later";
    case SubmitOutcome::kNotKept:
      return "the outbox could not be written to disk: nothing was sent, try again later";
    case SubmitOutcome::kHandedOver:
      break;
  }
  return {};
}

}  // namespace vel
