// Windows-1252 bytes as the windows show them.
#include "text_1252.h"

#include <QtTest>

class Text1252Test : public QObject {
  Q_OBJECT

 private slots:
  void bytes_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("shown");
    QTest::newRow("ascii") << QByteArray("Served requests: 12") << "Served requests: 12";
    QTest::newRow("signs and letters of 0x80..0x9F")
        << QByteArray("\x80\x93\x94\x96\x85\x8A\x9F") << QString::fromUtf8("€“”–…ŠŸ");
    QTest::newRow("undefined bytes keep their value")
        << QByteArray("\x81\x8D\x8F\x90\x9D")
        << QString(QChar(0x81)) + QChar(0x8D) + QChar(0x8F) + QChar(0x90) + QChar(0x9D);
    QTest::newRow("upper half as Latin-1")
        << QByteArray("\xA0\xE4\xF6\xFC\xDF\xFF") << QString::fromUtf8("\u00A0äöüßÿ");
    QTest::newRow("NUL kept") << QByteArray("a\0b", 3)
                              << QString(QChar('a')) + QChar(0) + QChar('b');
  }

  void bytes() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, shown);
    QCOMPARE(vel::FromWindows1252(std::string_view(bytes.constData(), size_t(bytes.size()))),
             shown);
  }

  void everyByteIsOneCharacter() {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(char(b));
    const QString shown = vel::FromWindows1252(all);
    QCOMPARE(shown.size(), 256);
    for (int b = 0; b < 256; ++b) {
      if (b < 0x80 || b >= 0xA0) QCOMPARE(shown[b].unicode(), char16_t(b));
    }
  }
};

QTEST_MAIN(Text1252Test)
#include "text_1252_test.moc"
