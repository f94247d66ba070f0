// The pieces of the JSON answers that programs get (the posts' answers are made of them,
// and so are the refusals): a text as a JSON string, and the answer to a message that
// was not sent.
#pragma once

#include <QString>
#include <string>

namespace vel {

inline constexpr const char* kJsonContentType = "application/json";

// `text` quoted and escaped as QJsonDocument writes it.
std::string JsonString(const QString& text);

// {"sent": false, "error": "..."} with its line end.
std::string JsonNotSent(const std::string& error);

}  // namespace vel
