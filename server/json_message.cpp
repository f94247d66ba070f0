#include "json_message.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include "request.h"
#include "terminal_text.h"
#include "text_case.h"

namespace vel {

namespace {

const TerminalText& Utf8() {
  static const TerminalText utf8("UTF-8");
  return utf8;
}

// A text as JSON: quoted and escaped as QJsonDocument writes it.
std::string JsonString(const QString& text) {
  const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
  return array.mid(1, array.size() - 2).toStdString();  // without the brackets
}

// `text` in Windows-1252, or false with the reason (naming `what`) in `error`.
bool ToCp1252(const QString& text, const std::string& what, std::string& cp1252,
              std::string& error) {
  std::string why;
  if (Utf8().FromTerminal(text.toStdString(), cp1252, why)) return true;
  error = what + ": " + why;
  return false;
}

}  // namespace

bool IsJsonRequest(const std::string& request) {
  if (!EqualsAsciiNoCase(request.substr(0, 5), "POST ")) return false;
  const std::vector<std::string> types = HeaderValues(request, "Content-Type");
  if (types.empty()) return false;
  std::string type = types.front().substr(0, types.front().find(';'));
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.pop_back();
  return EqualsAsciiNoCase(type, kJsonContentType);
}

JsonMessage ParseJsonMessage(const std::string& body) {
  JsonMessage result;
  QJsonParseError parseError;
  const QJsonDocument document =
      QJsonDocument::fromJson(QByteArray::fromStdString(body), &parseError);
  if (parseError.error != QJsonParseError::NoError) {
    result.error = "the body is not JSON (" + parseError.errorString().toStdString() + " at byte " +
                   std::to_string(parseError.offset) + ")";
    return result;
  }
  if (!document.isObject()) {
    result.error = "the body must be a JSON object with \"receivers\" and \"message\"";
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
    if (name.find_first_of(std::string("\xFE\xFF\0", 3)) != std::string::npos) {
      submission.holdsSeparator = true;
    }
  }
  const QJsonValue message = object.value("message");
  if (!message.isString() || message.toString().isEmpty()) {
    result.error = "\"message\" must be a text that is not empty";
    return result;
  }
  if (!ToCp1252(message.toString(), "\"message\"", submission.message, result.error)) return result;
  if (submission.message.find_first_of(std::string("\xFE\xFF\0", 3)) != std::string::npos) {
    submission.holdsSeparator = true;
  }
  return result;
}

std::string JsonSent(const std::string& receivers) {
  std::string names;
  size_t start = 0;
  for (size_t end; (end = receivers.find('\xFE', start)) != std::string::npos; start = end + 1) {
    if (!names.empty()) names += ", ";
    names +=
        JsonString(QString::fromStdString(Utf8().ToTerminal(receivers.substr(start, end - start))));
  }
  return "{\"sent\": true, \"receivers\": [" + names + "]}\n";
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
    case SubmitOutcome::kHandedOver:
      break;
  }
  return {};
}

std::string JsonNotSent(const std::string& error) {
  return "{\"sent\": false, \"error\": " + JsonString(QString::fromStdString(error)) + "}\n";
}

}  // namespace vel
