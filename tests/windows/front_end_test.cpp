// The windows front end on its own, with stand-in core handlers: message boxes, the
// splash, the busy pointer, the count, the receiver list and the close of the main
// window.
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>
#include <memory>

#include "modal.h"
#include "test_dirs.h"
#include "vel_about.h"
#include "vel_language.h"
#include "vel_webserv.h"
#include "windows_front_end.h"

using vel::MessageIcon;
using vel::WindowsFrontEnd;
using vel::test::WhenModal;

namespace {

struct BoxSeen {
  QString caption, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons;
};

// Records the next message box and presses `press` in it.
std::shared_ptr<bool> Answer(BoxSeen& seen, QMessageBox::StandardButton press) {
  auto found = std::make_shared<bool>(false);
  WhenModal<QMessageBox>(
      [&seen, press](QMessageBox* box) {
        seen = {box->windowTitle(), box->text(), box->icon(), box->standardButtons()};
        box->button(press)->click();
      },
      found);
  return found;
}

}  // namespace

class FrontEndTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    dir_ = std::make_unique<vel::test::ProgramDirectory>();
    activations_ = 0;
    cancelClose_ = true;
    frontEnd_ = std::make_unique<WindowsFrontEnd>(WindowsFrontEnd::CoreHandlers{
        [this] { ++activations_; },
        [this] { return cancelClose_; },
        nullptr,
        nullptr,
    });
  }
  void cleanup() {
    frontEnd_.reset();
    dir_.reset();
  }

  void messageBoxHasTheProgramsCaption_data() {
    QTest::addColumn<int>("icon");
    QTest::addColumn<int>("expected");
    QTest::newRow("warning") << int(MessageIcon::Warning) << int(QMessageBox::Warning);
    QTest::newRow("question") << int(MessageIcon::Question) << int(QMessageBox::Question);
  }

  void messageBoxHasTheProgramsCaption() {
    QFETCH(int, icon);
    QFETCH(int, expected);
    BoxSeen seen;
    auto found = Answer(seen, QMessageBox::Ok);
    frontEnd_->ShowMessage("The HTTP port (80) can not be used.", MessageIcon(icon));
    QVERIFY(*found);
    QCOMPARE(seen.caption, QString("Velmar Web Server"));
    QCOMPARE(seen.text, QString("The HTTP port (80) can not be used."));
    QCOMPARE(int(seen.icon), expected);
    QCOMPARE(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
  }

  void questionAnswersYesOrNo_data() {
    QTest::addColumn<int>("press");
    QTest::addColumn<bool>("yes");
    QTest::newRow("yes") << int(QMessageBox::Yes) << true;
    QTest::newRow("no") << int(QMessageBox::No) << false;
  }

  void questionAnswersYesOrNo() {
    QFETCH(int, press);
    QFETCH(bool, yes);
    BoxSeen seen;
    auto found = Answer(seen, QMessageBox::StandardButton(press));
    QCOMPARE(frontEnd_->AskYesNo("Are you sure ?"), yes);
    QVERIFY(*found);
    QCOMPARE(seen.caption, QString("Velmar Web Server"));
    QCOMPARE(int(seen.icon), int(QMessageBox::Question));
    QCOMPARE(seen.buttons, QMessageBox::Yes | QMessageBox::No);
  }

  void escapeInTheQuestionMeansNo() {
    auto found = std::make_shared<bool>(false);
    WhenModal<QMessageBox>([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); }, found);
    QVERIFY(!frontEnd_->AskYesNo("Are you sure ?"));
    QVERIFY(*found);
  }

  void languageWindowIsModalAndStoresTheChoice() {
    dir_->Write("vel_lang.001", "0=English\r\n");
    dir_->Write("vel_lang.049", "0=Deutsch\r\n");
    auto found = std::make_shared<bool>(false);
    WhenModal<vel::Vel_Language>(
        [](vel::Vel_Language* window) {
          window->Combo_Language->setCurrentIndex(window->Combo_Language->findText("English"));
          window->Command_Ok->click();
        },
        found);
    frontEnd_->ChooseLanguage(dir_->path());
    QVERIFY(*found);
    QCOMPARE(vel::ReadProfileString("General", "Language", "", "VELWEB.INI"), std::string("001"));
  }

  void countShowsPlainDecimal() {
    QLabel* count = frontEnd_->MainWindow()->Label_Reqs;
    QCOMPARE(count->text(), QString("0"));
    for (int32_t n : {1000, 2147483647}) {
      frontEnd_->ShowServedRequests(n);
      QCOMPARE(count->text(), QString::number(n));
    }
  }

  void receiverListMirrorsTheSortedNames() {
    frontEnd_->Start();
    frontEnd_->ReceiversChanged({"", "alpha", "alpha", "B\xE4r", "Zulu"});
    QListWidget* list = frontEnd_->MainWindow()->List_Receivers;
    QVERIFY(list->isHidden());
    QStringList names;
    for (int i = 0; i < list->count(); ++i) names << list->item(i)->text();
    QCOMPARE(names, QStringList({"", "alpha", "alpha", QString::fromUtf8("Bär"), "Zulu"}));
    frontEnd_->ReceiversChanged({});
    QCOMPARE(list->count(), 0);
  }

  void busyPointerWhileReceiversLoad() {
    QVERIFY(!QApplication::overrideCursor());
    frontEnd_->SetBusy(true);
    QVERIFY(QApplication::overrideCursor());
    QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    frontEnd_->SetBusy(true);  // no second layer to undo
    frontEnd_->SetBusy(false);
    QVERIFY(!QApplication::overrideCursor());
    frontEnd_->SetBusy(false);
    QVERIFY(!QApplication::overrideCursor());
  }

  void splashShowsTheTextsAndClosesOnce() {
    frontEnd_->Start();
    frontEnd_->ShowSplash("Velmar Web Server", "Velmar Web Server\r\n\r\nVersion 1.0.00\r\n",
                          "Loading receivers...");
    QPointer<vel::Vel_About> splash = frontEnd_->Splash();
    QVERIFY(splash);
    QVERIFY(splash->isVisible());
    QCOMPARE(splash->windowTitle(), QString("Velmar Web Server"));  // replaces text 10
    QCOMPARE(splash->PanelText(), QString("Velmar Web Server\n\nVersion 1.0.00\n"));
    QCOMPARE(splash->InfoText(), QString("Loading receivers..."));
    frontEnd_->SetSplashInfo("Velmar Web Server Initialized Ok...");
    QCOMPARE(splash->InfoText(), QString("Velmar Web Server Initialized Ok..."));
    frontEnd_->ShowSplash("again", "", "");  // shown once per run
    QCOMPARE(frontEnd_->Splash(), splash.data());
    QCOMPARE(splash->windowTitle(), QString("Velmar Web Server"));

    frontEnd_->CloseSplash();
    QTRY_VERIFY_WITH_TIMEOUT(!splash, 5000);  // closed and gone
    QVERIFY(!frontEnd_->Splash());
    frontEnd_->CloseSplash();  // already closed: nothing happens
    frontEnd_->SetSplashInfo("late");
  }

  void splashThatClosedItselfIsNotClosedAgain() {
    frontEnd_->Start();
    frontEnd_->ShowSplash("Velmar Web Server", "panel", "info");
    QPointer<vel::Vel_About> splash = frontEnd_->Splash();
    QVERIFY(splash);
    QTest::keyClick(splash.data(), Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(!splash, 5000);
    frontEnd_->CloseSplash();
    frontEnd_->SetSplashInfo("Velmar Web Server Initialized Ok...");
  }

  void activationsReachTheCore() {
    frontEnd_->Start();
    QVERIFY(QTest::qWaitForWindowActive(frontEnd_->MainWindow(), 5000));
    QTRY_COMPARE_WITH_TIMEOUT(activations_, 1, 5000);
  }

  void closeAsksTheCore() {
    vel::Vel_WebServ* window = frontEnd_->MainWindow();
    frontEnd_->Start();
    QVERIFY(QTest::qWaitForWindowExposed(window, 5000));
    cancelClose_ = true;
    QVERIFY(!window->close());
    QVERIFY(window->isVisible());
    cancelClose_ = false;
    QVERIFY(window->close());
    QVERIFY(!window->isVisible());
  }

 private:
  std::unique_ptr<vel::test::ProgramDirectory> dir_;
  std::unique_ptr<WindowsFrontEnd> frontEnd_;
  int activations_ = 0;
  bool cancelClose_ = true;
};

QTEST_MAIN(FrontEndTest)
#include "front_end_test.moc"
