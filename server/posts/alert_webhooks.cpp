#include "alert_webhooks.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <vector>

#include "json_message.h"
#include "request.h"
#include "terminal_text.h"
#include "text_case.h"
#include "vel_proc.h"

namespace vel {

namespace {

const TerminalText& Utf8() {
  static const TerminalText utf8("UTF-8");
  return utf8;
}

// A query value as a Windows-1252 name. A value whose bytes are UTF-8 (as a URL typed
// into a configuration file has them) is converted; any other is taken as it is.
bool QueryValue(const std::string& encoded, std::string& value, std::string& error) {
  const std::string bytes = DecodeFormText(encoded);
  bool ascii = true;
  for (char c : bytes) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  const QString text = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
  if (ascii || text.toUtf8().toStdString() != bytes) {
    value = bytes;
    return true;
  }
  std::string why;
  if (Utf8().FromTerminal(bytes, value, why)) return true;
  error = "a receiver: " + why;
  return false;
}

struct Query {
  std::string receivers;  // each followed by 0xFE
  bool resolved = true;
  bool holdsSeparator = false;  // a name holds 0xFE, 0xFF or NUL
  std::string error;
};

// "receivers" (as often as given; empty ones do not count) and "resolved" of the query,
// their names matched whole and without regard to case.
Query ParseQuery(const HttpRequest& request) {
  Query query;
  const std::string target = request.TargetText();
  const size_t mark = target.find('?');
  if (mark == std::string::npos) return query;
  const std::string text = target.substr(mark + 1);
  try {
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = text.find('&', start);
      if (end == std::string::npos) end = text.size();
      const std::string field = text.substr(start, end - start);
      start = end + 1;
      const size_t equals = field.find('=');
      const std::string name = AsciiUpperText(field.substr(0, equals));
      const std::string raw = equals == std::string::npos ? "" : field.substr(equals + 1);
      if (name == "RECEIVERS") {
        std::string value;
        if (!QueryValue(raw, value, query.error)) return query;
        if (value.empty()) continue;
        query.holdsSeparator = query.holdsSeparator || HoldsSeparator(value);
        query.receivers += value;
        query.receivers += '\xFE';
      } else if (name == "RESOLVED") {
        const std::string value = AsciiUpperText(DecodeFormText(raw));
        query.resolved = !(value == "0" || value == "FALSE" || value == "NO");
      }
    }
  } catch (const OverflowError&) {
    query.error = "the address is too long";
  }
  return query;
}

// Windows-1252 for a code point, or '?' where it has none; its bytes 0x80 to 0x9F hold
// letters and signs of their own.
char Cp1252Byte(char32_t point) {
  static const QHash<char32_t, char> kUpper = [] {
    QHash<char32_t, char> table;
    for (int byte = 0x80; byte < 0xA0; ++byte) {
      const QString character =
          QString::fromStdString(Utf8().Character(static_cast<unsigned char>(byte)));
      if (!character.isEmpty()) table.insert(character.toUcs4().front(), static_cast<char>(byte));
    }
    return table;
  }();
  if (point < 0x80 || (point >= 0xA0 && point <= 0xFF)) return static_cast<char>(point);
  return kUpper.value(point, '?');
}

// An alert's text in Windows-1252, on one line: control characters become blanks,
// blanks run together, characters without a byte (and the bytes that separate receivers
// and end a command) become '?'.
std::string AlertLine(const QString& text) {
  std::string line;
  bool blank = false;
  for (const char32_t point : text.toUcs4()) {
    if (point <= 0x20 || (point >= 0x7F && point < 0xA0) || point == 0x2028 || point == 0x2029) {
      blank = !line.empty();
      continue;
    }
    if (blank) line += ' ';
    blank = false;
    const char byte = Cp1252Byte(point);
    line += HoldsSeparator(std::string_view(&byte, 1)) ? '?' : byte;
  }
  return line;
}

QString StringIn(const QJsonObject& object, const char* key, const char* name) {
  return object.value(key).toObject().value(name).toString();
}

// Summary, else description, else alert name; the instance in brackets.
std::string AlertItem(const QJsonObject& alert) {
  QString text = StringIn(alert, "annotations", "summary").trimmed();
  if (text.isEmpty()) text = StringIn(alert, "annotations", "description").trimmed();
  if (text.isEmpty()) text = StringIn(alert, "labels", "alertname").trimmed();
  if (text.isEmpty()) text = "alert";
  std::string item = AlertLine(text);
  const std::string instance = AlertLine(StringIn(alert, "labels", "instance"));
  if (!instance.empty()) item += " (" + instance + ")";
  return item;
}

std::string More(size_t count) {
  return count == 0 ? std::string() : " (+" + std::to_string(count) + " more)";
}

}  // namespace

std::string SourceNoun(PostSource source) {
  switch (source) {
    case PostSource::kAlertmanager:
      return "Alertmanager notification";
    case PostSource::kGrafana:
      return "Grafana notification";
    case PostSource::kForm:
    case PostSource::kJson:
    case PostSource::kText:
      break;
  }
  return "HTTP message request";
}

AlertText AlertMessage(PostSource source, const std::string& body, size_t room, bool withResolved) {
  AlertText result;
  const char* sender = source == PostSource::kGrafana ? "Grafana" : "Alertmanager";
  QJsonDocument document;
  if (!ParseJsonBody(body, document, result.error)) return result;
  const QJsonObject payload = document.object();
  const QString status = payload.value("status").toString();
  if (!document.isObject() || (status != "firing" && status != "resolved") ||
      !payload.value("alerts").isArray()) {
    result.error = std::string("the body is no ") + sender +
                   " notification: it needs \"status\" (\"firing\" or \"resolved\") and "
                   "\"alerts\" (a list)";
    return result;
  }
  const bool firing = status == "firing";
  if (!firing && !withResolved) {
    result.skipped = true;
    return result;
  }
  // Grafana always sends a title; its default ("[FIRING:2] Infra (blue)") names no alert
  // and is left out. A title of the admin's own goes in front of the alerts.
  std::string title;
  if (source == PostSource::kGrafana) {
    title = AlertLine(payload.value("title").toString());
    if (title.rfind("[FIRING:", 0) == 0 || title.rfind("[RESOLVED:", 0) == 0) title.clear();
    if (!title.empty()) title += ": ";
    if (title.size() > room / 2) title.clear();  // the alerts come first
  }
  room -= title.size();

  std::vector<std::string> items;
  std::vector<std::string> resolved;
  const QJsonArray alerts = payload.value("alerts").toArray();
  for (qsizetype n = 0; n < alerts.size(); ++n) {
    if (!alerts[n].isObject()) {
      result.error = "alert " + std::to_string(n + 1) + " is not a JSON object";
      return result;
    }
    const QJsonObject alert = alerts[n].toObject();
    const QString alertStatus = alert.value("status").toString(status);
    if (alertStatus != "resolved") {
      items.push_back(AlertItem(alert));
    } else if (withResolved) {
      resolved.push_back(AlertItem(alert));
    }
  }
  if (firing && !resolved.empty()) resolved.front().insert(0, "RESOLVED: ");
  items.insert(items.end(), resolved.begin(), resolved.end());
  const int truncated = payload.value("truncatedAlerts").toInt(0);
  const size_t untold = truncated > 0 ? static_cast<size_t>(truncated) : 0;
  if (items.empty() && untold == 0) {
    if (firing && !title.empty()) {
      result.text = title.substr(0, title.size() - 2);  // the title alone stands for them
      return result;
    }
    if (alerts.isEmpty()) {
      result.error = "\"alerts\" holds no alert";
    } else {
      result.skipped = true;  // resolved alerts only, and those are left out
    }
    return result;
  }

  // As many alerts as fit with the count of the others after them; the first one is
  // cut to fit when even it alone does not.
  std::string text = firing ? "FIRING:" : "RESOLVED:";
  size_t told = 0;
  for (; told < items.size(); ++told) {
    std::string next = text + (told == 0 ? " " : "; ") + items[told];
    if (next.size() + More(items.size() - told - 1 + untold).size() > room) break;
    text = std::move(next);
  }
  if (told == 0 && !items.empty()) {
    const size_t rest = More(items.size() - 1 + untold).size();
    if (room > text.size() + 1 + rest)
      text += " " + items[0].substr(0, room - text.size() - 1 - rest);
    told = 1;
  }
  text += More(items.size() - told + untold);
  if (text.size() > room) text.resize(room);
  result.text = title + text;
  return result;
}

std::string JsonSkipped() {
  return "{\"sent\": false, \"skipped\": \"resolved notifications are not sent "
         "(resolved=0)\"}\n";
}

PostedMessage ParsePostedMessage(PostSource source, const HttpRequest& request) {
  PostedMessage result;
  const Query query = ParseQuery(request);
  if (!query.error.empty()) {
    result.error = query.error;
    return result;
  }
  if (query.receivers.empty()) {
    result.error = "no receivers: name them in the address, as ?receivers=NAME&receivers=NAME";
    return result;
  }
  // Room for the message in the longest entry the buffer can take: "FT:", the receivers.
  const size_t used = 3 + query.receivers.size();
  if (used + 16 > kLargestCommandEntry) {
    result.error = "the receivers leave the message no room in the alarm server's buffer";
    return result;
  }
  Submission& submission = result.submission;
  if (source == PostSource::kText) {
    std::string text(request.Body());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::string message, why;
    if (text.empty()) {
      result.error = "the message is empty";
      return result;
    }
    if (!Utf8().FromTerminal(text, message, why)) {
      result.error = "the message: " + why;
      return result;
    }
    if (used + message.size() > kLargestCommandEntry) {
      result.error = "the message is too long: the alarm server takes " +
                     std::to_string(kLargestCommandEntry - used) + " bytes with these receivers";
      return result;
    }
    submission.message = std::move(message);
  } else {
    AlertText alert = AlertMessage(source, std::string(request.Body()), kLargestCommandEntry - used,
                                   query.resolved);
    if (!alert.error.empty() || alert.skipped) {
      result.error = std::move(alert.error);
      result.skipped = alert.skipped;
      return result;
    }
    submission.message = std::move(alert.text);
  }
  submission.receivers = query.receivers;
  submission.holdsSeparator = query.holdsSeparator || HoldsSeparator(submission.message);
  return result;
}

}  // namespace vel
