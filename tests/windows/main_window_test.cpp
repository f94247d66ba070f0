// The main window with the real server core: start-up with the splash, the served
// count after real requests over TCP, the receiver list, and the close question.
//
// The core takes the directory of its executable as the program directory, so this
// test is built into a directory of its own and writes the files it needs there.
#include <unistd.h>

#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <csignal>
#include <filesystem>
#include <memory>

#include "modal.h"
#include "net.h"
#include "receiver_file_format.h"
#include "vel_about.h"
#include "vel_proc.h"
#include "vel_webserv.h"
#include "web_server_core.h"
#include "windows_front_end.h"

namespace fs = std::filesystem;
using vel::test::WhenModal;

namespace {

const char kQuestion[] =
    "If you shut down Velmar Web Server you will not be able to send Web-based free text "
    "messages. Are you sure ?";

using veltest::FreePort;
using veltest::WriteFile;

// A receiver file of version 1 with the names in this order; values empty, text, long.
std::string ReceiverFile(const std::vector<std::string>& names) {
  std::vector<vel::ReceiverRecord> records;
  for (const std::string& name : names) {
    vel::ReceiverRecord& r = records.emplace_back(vel::ReceiverRecord{1, name, {}});
    r.Values[1] = {vel::kTagText, "ab"};
    r.Values[2] = {vel::kTagInt32, std::string(4, '\0')};
  }
  return vel::EncodeReceiverFile(records);
}

// Everything the server sends until it closes the connection.
QByteArray Fetch(uint16_t port, const QByteArray& request) {
  QTcpSocket socket;
  socket.connectToHost(QHostAddress::LocalHost, port);
  if (!QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000)) {
    return "<no connection>";
  }
  socket.write(request);
  QByteArray answer;
  const bool closed = QTest::qWaitFor(
      [&] {
        answer += socket.readAll();
        return socket.state() == QAbstractSocket::UnconnectedState;
      },
      10000);
  answer += socket.readAll();
  if (answer.isEmpty())
    answer = "<closed without an answer: " + socket.errorString().toUtf8() + ">";
  return closed ? answer : "<not closed> " + answer;
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    dir_ = fs::path(QCoreApplication::applicationDirPath().toStdString());
    // Leave only the program itself from a previous run.
    for (const fs::directory_entry& entry : fs::directory_iterator(dir_)) {
      if (entry.path().filename() !=
          fs::path(QCoreApplication::applicationFilePath().toStdString()).filename()) {
        fs::remove_all(entry.path());
      }
    }
    if (fs::exists(VELMAR_LIBRARY)) fs::copy_file(VELMAR_LIBRARY, dir_ / "libVelmar.so");
    port_ = static_cast<uint16_t>(FreePort());
    WriteFile(dir_ / "VELWEB.INI",
              "[TCPIP]\r\nHTTPPort=" + std::to_string(port_) + "\r\n[General]\r\nLanguage=001\r\n");
    WriteFile(dir_ / "vel_lang.001",
              "0=English\r\n10=About\r\n13=Version\r\n14=By\r\n124=Loading receivers...\r\n");
    WriteFile(dir_ / "INDEX.HTM", "<html>hello</html>\r\n");
    WriteFile(dir_ / "vel_rcv.dat", ReceiverFile({"Zulu", "alpha", "Mike"}));
    vel::ResetLanguage();

    core_ = std::make_unique<vel::WebServerCore>();
    frontEnd_ = std::make_unique<vel::WindowsFrontEnd>(vel::WindowsFrontEnd::CoreHandlers{
        [this] { core_->Form_Activate(); },
        [this] { return core_->Form_QueryUnload(vel::UnloadReason::kUserClose); },
        [this] { return core_->ServedRequests(); },
        [this] { return core_->ListeningPort(); },
    });
    core_->SetFrontEnd(frontEnd_.get());
    QCOMPARE(core_->Form_Load(), 0);
    window_ = frontEnd_->MainWindow();
    frontEnd_->Start();
    QVERIFY(QTest::qWaitForWindowExposed(window_, 5000));
  }

  void cleanup() {
    if (core_) core_->SetFrontEnd(nullptr);
    frontEnd_.reset();
    core_.reset();
  }

  void startsWithTheSplash() {
    QTRY_VERIFY_WITH_TIMEOUT(frontEnd_->Splash() != nullptr, 5000);
    vel::Vel_About* splash = frontEnd_->Splash();
    QCOMPARE(splash->windowTitle(), QString("Velmar Web Server"));
    QVERIFY2(splash->PanelText().startsWith("Velmar Web Server\n\nVersion 1.0.00\n\nBy "),
             qPrintable(splash->PanelText()));
    QCOMPARE(splash->InfoText(), QString("Velmar Web Server Initialized Ok..."));
    QVERIFY(!QApplication::overrideCursor());  // the busy pointer is gone again
    QCOMPARE(window_->windowTitle(), QString("Velmar Web Server"));
    QCOMPARE(window_->Label_Reqs->text(), QString("0"));

    // The receivers, sorted without regard to case, in the hidden list.
    QListWidget* list = window_->List_Receivers;
    QVERIFY(list->isHidden());
    QStringList names;
    for (int i = 0; i < list->count(); ++i) names << list->item(i)->text();
    QCOMPARE(names, QStringList({"alpha", "Mike", "Zulu"}));
  }

  void nextActivationRemovesTheSplash() {
    QTRY_VERIFY_WITH_TIMEOUT(frontEnd_->Splash() != nullptr, 5000);
    QPointer<vel::Vel_About> splash = frontEnd_->Splash();
    QTRY_VERIFY_WITH_TIMEOUT(splash->isActiveWindow(), 5000);
    window_->activateWindow();
    QTRY_VERIFY_WITH_TIMEOUT(!splash, 5000);
    // Later activations do nothing.
    window_->activateWindow();
    QTest::qWait(100);
    QVERIFY(window_->isVisible());
  }

  void countsServedRequests() {
    QCOMPARE(window_->Label_Reqs->text(), QString("0"));
    for (int n = 1; n <= 3; ++n) {
      QCOMPARE(Fetch(port_, "GET /INDEX.HTM HTTP/1.0\r\n\r\n"),
               QByteArray("<html>hello</html>\r\n"));
      QTRY_COMPARE_WITH_TIMEOUT(window_->Label_Reqs->text(), QString::number(n), 5000);
    }
    // The not-found page counts too.
    QVERIFY(!Fetch(port_, "GET /MISSING.HTM HTTP/1.0\r\n\r\n").isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(window_->Label_Reqs->text(), QString("4"), 5000);
    // A client that goes away without a request is not counted.
    {
      QTcpSocket idle;
      idle.connectToHost(QHostAddress::LocalHost, port_);
      QVERIFY(idle.waitForConnected(5000));
      idle.disconnectFromHost();
    }
    QTest::qWait(200);
    QCOMPARE(window_->Label_Reqs->text(), QString("4"));
  }

  void closeAsksAndNoKeepsServing() {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString caption, text;
    auto found = std::make_shared<bool>(false);
    WhenModal<QMessageBox>(
        [&](QMessageBox* box) {
          icon = box->icon();
          caption = box->windowTitle();
          text = box->text();
          box->button(QMessageBox::No)->click();
        },
        found);
    QVERIFY(!window_->close());
    QVERIFY(*found);
    QCOMPARE(text, QString(kQuestion));
    QCOMPARE(caption, QString("Velmar Web Server"));
    QCOMPARE(icon, QMessageBox::Question);
    QVERIFY(window_->isVisible());

    QCOMPARE(Fetch(port_, "GET /INDEX.HTM HTTP/1.0\r\n\r\n"), QByteArray("<html>hello</html>\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(window_->Label_Reqs->text(), QString("1"), 5000);
    QVERIFY(!LogText().contains("shut down"));
  }

  void closeWithYesLogsAndCloses() {
    auto found = std::make_shared<bool>(false);
    WhenModal<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); }, found);
    QVERIFY(window_->close());
    QVERIFY(*found);
    QVERIFY(!window_->isVisible());
    // The log is written on the exchange thread, after the window has gone.
    QTRY_VERIFY2_WITH_TIMEOUT(
        LogText().contains("WEB Velmar Web Server shut down because of user interaction"),
        qPrintable(LogText()), 5000);
    QVERIFY2(LogText().contains("WEB Velmar Web Server is starting"), qPrintable(LogText()));
  }

 private:
  QString LogText() const {
    QString text;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir_)) {
      if (entry.path().extension() == ".LOG") {
        text += QString::fromLatin1(veltest::ReadFile(entry.path()));
      }
    }
    return text;
  }

  fs::path dir_;
  uint16_t port_ = 0;
  std::unique_ptr<vel::WebServerCore> core_;
  std::unique_ptr<vel::WindowsFrontEnd> frontEnd_;
  vel::Vel_WebServ* window_ = nullptr;
};

int main(int argc, char** argv) {
  // Our own instance of the shared region; a client that goes away must not end us.
  qputenv("VELMAR_INSTANCE", "windows_main" + QByteArray::number(qint64(getpid())));
  std::signal(SIGPIPE, SIG_IGN);
  QApplication app(argc, argv);
  MainWindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "main_window_test.moc"
