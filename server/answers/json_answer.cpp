#include "json_answer.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace vel {

std::string JsonString(const QString& text) {
  const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
  return array.mid(1, array.size() - 2).toStdString();  // without the brackets
}

std::string JsonNotSent(const std::string& error) {
  return "{\"sent\": false, \"error\": " + JsonString(QString::fromStdString(error)) + "}\n";
}

}  // namespace vel
