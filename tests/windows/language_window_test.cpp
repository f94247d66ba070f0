// The language window: which files it offers, under which names and codes, and what it
// writes to the profile.
#include <QComboBox>
#include <QPushButton>
#include <QtTest>
#include <filesystem>
#include <memory>

#include "language_files.h"
#include "test_dirs.h"
#include "vel_language.h"

using vel::LanguageChoice;
using vel::Vel_Language;

class LanguageWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { dir_ = std::make_unique<vel::test::ProgramDirectory>(); }
  void cleanup() { dir_.reset(); }

  void extensionCodes_data() {
    QTest::addColumn<QString>("extension");
    QTest::addColumn<int>("code");  // -99999: not a number
    QTest::newRow("001") << "001" << 1;
    QTest::newRow("1") << "1" << 1;
    QTest::newRow("TXT") << "TXT" << -99999;
    QTest::newRow("empty") << "" << -99999;
    QTest::newRow("1a") << "1a" << -99999;
    QTest::newRow("sign alone") << "+" << -99999;
    QTest::newRow("half to even") << "2.5" << 2;
    QTest::newRow("exponent") << "1e2" << 100;
    QTest::newRow("leading blank") << " 7" << 7;
    QTest::newRow("negative") << "-1" << -1;
    QTest::newRow("too large for 16 bits") << "9e9" << -99999;
  }

  void extensionCodes() {
    QFETCH(QString, extension);
    QFETCH(int, code);
    const std::optional<int16_t> got = vel::LanguageCodeOf(extension.toStdString());
    if (code == -99999) {
      QVERIFY(!got.has_value());
    } else {
      QVERIFY(got.has_value());
      QCOMPARE(int(*got), code);
    }
  }

  void codeTextHasThreeDigits() {
    const std::pair<int16_t, const char*> cases[] = {{0, "000"},   {1, "001"},     {44, "044"},
                                                     {999, "999"}, {1234, "1234"}, {-1, "-001"}};
    for (const auto& [code, text] : cases) QCOMPARE(vel::LanguageCodeText(code), std::string(text));
  }

  void nameLineRules_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("name");  // null: no name
    QTest::newRow("plain") << QByteArray("0=English\r\n10=About\r\n") << "English";
    QTest::newRow("whole rest of the line")
        << QByteArray("0=Deutsch = German\r\n") << "Deutsch = German";
    QTest::newRow("empty name line skipped") << QByteArray("0=\r\n0=Second\r\n") << "Second";
    QTest::newRow("blank in front does not count") << QByteArray(" 0=x\r\n") << QString();
    QTest::newRow("only an empty name line") << QByteArray("0=\r\n5=five\r\n") << QString();
    QTest::newRow("first qualifying line wins")
        << QByteArray("1=a\r\n0=First\r\n0=Later\r\n") << "First";
    QTest::newRow("last line without end") << QByteArray("1=a\r\n0=Last") << "Last";
    QTest::newRow("CR alone ends a line") << QByteArray("1=a\r0=Mac\r") << "Mac";
    QTest::newRow("LF alone stays in the line") << QByteArray("1=a\n0=Unix\n") << QString();
    QTest::newRow("blank after the equals sign counts") << QByteArray("0= \r\n") << " ";
    QTest::newRow("empty file") << QByteArray() << QString();
  }

  void nameLineRules() {
    QFETCH(QByteArray, content);
    QFETCH(QString, name);
    dir_->Write("vel_lang.001", content.toStdString());
    const std::optional<std::string> got = vel::LanguageNameIn(dir_->path() + "vel_lang.001");
    if (name.isNull()) {
      QVERIFY(!got.has_value());
    } else {
      QVERIFY(got.has_value());
      QCOMPARE(QString::fromStdString(*got), name);
    }
  }

  void offeredLanguages() {
    WriteEdgeCaseDirectory();
    const std::vector<LanguageChoice> offered = vel::FindLanguages(dir_->path());
    QCOMPARE(offered.size(), size_t(2));
    QCOMPARE(offered[0].name, std::string("Deutsch = German"));
    QCOMPARE(offered[0].code, int16_t(44));
    QCOMPARE(offered[0].fileName, std::string("VEL_LANG.044"));
    QCOMPARE(offered[1].name, std::string("English"));
    QCOMPARE(offered[1].code, int16_t(1));
  }

  // A file whose stored choice would name another file (extension 1, stored as 001) is
  // not offered; it is offered under its three-digit name.
  void choiceMustLoadTheFileOffered() {
    dir_->Write("vel_lang.1", "0=One\r\n");
    QVERIFY(vel::FindLanguages(dir_->path()).empty());
    dir_->Write("vel_lang.2", "0=Two\r\n");
    dir_->Write("vel_lang.002", "0=Zwei\r\n");
    const std::vector<LanguageChoice> offered = vel::FindLanguages(dir_->path());
    QCOMPARE(offered.size(), size_t(1));
    QCOMPARE(offered[0].name, std::string("Zwei"));
  }

  void windowListsTheLanguages() {
    WriteEdgeCaseDirectory();
    Vel_Language window(dir_->path());
    QCOMPARE(window.windowTitle(), QString("Velmar - Select Language"));
    QCOMPARE(window.Combo_Language->count(), 2);
    QCOMPARE(window.Combo_Language->itemText(0), QString("Deutsch = German"));
    QCOMPARE(window.Combo_Language->itemData(0).toInt(), 44);
    QCOMPARE(window.Combo_Language->itemText(1), QString("English"));
    QCOMPARE(window.Combo_Language->itemData(1).toInt(), 1);
    QCOMPARE(window.Combo_Language->currentIndex(), -1);
    // No cancel button.
    for (QPushButton* button : window.findChildren<QPushButton*>())
      QVERIFY(button == window.Command_Ok);
  }

  void namesAreConvertedFromWindows1252() {
    dir_->Write("vel_lang.033",
                "0=Fran\xE7"
                "ais \x80\x85\r\n");
    Vel_Language window(dir_->path());
    QCOMPARE(window.Combo_Language->itemText(0), QString::fromUtf8("Français €…"));
  }

  void okWritesTheChosenCode_data() {
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("stored");
    QTest::newRow("German, 044") << 0 << "044";
    QTest::newRow("English, 001") << 1 << "001";
  }

  void okWritesTheChosenCode() {
    QFETCH(int, index);
    QFETCH(QString, stored);
    WriteEdgeCaseDirectory();
    dir_->Write("VELWEB.INI", "[TCPIP]\r\nHTTPPort=8080\r\n");
    Vel_Language window(dir_->path());
    window.show();
    window.Combo_Language->setCurrentIndex(index);
    QTest::mouseClick(window.Command_Ok, Qt::LeftButton);
    QVERIFY(!window.isVisible());
    QCOMPARE(
        QString::fromStdString(vel::ReadProfileString("General", "Language", "none", "VELWEB.INI")),
        stored);
    QCOMPARE(QString::fromStdString(vel::ReadProfileString("TCPIP", "HTTPPort", "", "VELWEB.INI")),
             QString("8080"));
    // The choice is one the next start can load.
    QVERIFY(vel::LoadLanguage());
  }

  // An empty directory first, then one with languages of which none is chosen.
  void okWithoutChoiceWritesNothing() {
    for (const int offered : {0, 2}) {
      if (offered > 0) WriteEdgeCaseDirectory();
      Vel_Language window(dir_->path());
      QCOMPARE(window.Combo_Language->count(), offered);
      window.show();
      QTest::mouseClick(window.Command_Ok, Qt::LeftButton);
      QVERIFY(!window.isVisible());
      QVERIFY(!std::filesystem::exists(dir_->path() + "VELWEB.INI"));
    }
  }

  void closingOtherwiseWritesNothing() {
    WriteEdgeCaseDirectory();
    {
      Vel_Language window(dir_->path());
      window.show();
      window.Combo_Language->setCurrentIndex(0);
      QTest::keyClick(&window, Qt::Key_Escape);
      QVERIFY(!window.isVisible());
    }
    {
      Vel_Language window(dir_->path());
      window.show();
      window.Combo_Language->setCurrentIndex(1);
      window.close();
    }
    QVERIFY(!std::filesystem::exists(dir_->path() + "VELWEB.INI"));
  }

 private:
  // The files of the edge cases: only 001 and 044 can be offered.
  void WriteEdgeCaseDirectory() {
    dir_->Write("vel_lang.001", "0=English\r\n10=About Velmar Web Server\r\n");
    dir_->Write("VEL_LANG.044", "; German\r\n0=\r\n 0=x\r\n0=Deutsch = German\r\n0=Later\r\n");
    dir_->Write("vel_lang.1", "0=One\r\n");                  // would be stored as 001
    dir_->Write("vel_lang.TXT", "0=Text\r\n");               // not a number
    dir_->Write("vel_lang.002", "0=\r\n 0=x\r\n2=two\r\n");  // no usable name line
    dir_->Write("vel_lang.0003", "0=Four digits\r\n");       // longer than three
    dir_->Write("other.003", "0=Other\r\n");
    std::filesystem::create_directory(dir_->path() + "vel_lang.005");
  }

  std::unique_ptr<vel::test::ProgramDirectory> dir_;
};

QTEST_MAIN(LanguageWindowTest)
#include "language_window_test.moc"
