// The real velweb program on the display: it shows its main window, runs stage 2 when
// that window is activated, serves, and ends on SIGTERM as at a system shutdown.
// Needs xwininfo (x11-utils) to see the windows.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

#include "net.h"

namespace {

using veltest::FreePort;

void WriteFile(const QString& path, const std::string& bytes) {
  veltest::WriteFile(path.toStdString(), bytes);
}

}  // namespace

class GuiProgramTest : public QObject {
  Q_OBJECT

 private slots:
  void startsServesAndShutsDown() {
    // The real program shows windows only on a display, and they are found through X.
    // Without one it runs on the console, which the server tests cover.
    if (qEnvironmentVariableIsEmpty("DISPLAY")) QSKIP("needs an X display (run under xvfb-run)");
    QTemporaryDir program;
    const QDir dist(VELWEB_DIST_DIR);
    for (const QString& name : dist.entryList(QDir::Files)) {
      QVERIFY(QFile::copy(dist.filePath(name), program.filePath(name)));
      QFile::setPermissions(program.filePath(name), QFile(dist.filePath(name)).permissions());
    }
    const auto port = static_cast<uint16_t>(FreePort());
    WriteFile(program.filePath("VELWEB.INI"),
              "[TCPIP]\r\nHTTPPort=" + std::to_string(port) + "\r\n[General]\r\nLanguage=001\r\n");
    WriteFile(program.filePath("vel_lang.001"), "0=English\r\n124=Loading receivers...\r\n");
    WriteFile(program.filePath("INDEX.HTM"), "<html>hello</html>\r\n");

    QProcess velweb;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("VELMAR_INSTANCE", "windows_gui" + QString::number(getpid()));
    velweb.setProcessEnvironment(environment);
    velweb.setProcessChannelMode(QProcess::MergedChannels);
    velweb.start(program.filePath("velweb"), {});
    QVERIFY(velweb.waitForStarted(5000));

    // "Started" is logged by stage 2, which only the main window's activation runs.
    QTRY_VERIFY2_WITH_TIMEOUT(Log(program).contains("WEB Velmar Web Server Started"),
                              qPrintable(Log(program) + velweb.readAll()), 15000);

    // The main window is on the display, under its caption.
    QTRY_VERIFY2_WITH_TIMEOUT(WindowNames().contains("\"Velmar Web Server\""),
                              qPrintable(WindowNames()), 10000);

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(client.waitForConnected(5000));
    client.write("GET /INDEX.HTM HTTP/1.0\r\n\r\n");
    QByteArray answer;
    QTRY_VERIFY_WITH_TIMEOUT(
        (answer += client.readAll(), client.state() == QAbstractSocket::UnconnectedState), 10000);
    QCOMPARE(answer + client.readAll(), QByteArray("<html>hello</html>\r\n"));

    ::kill(pid_t(velweb.processId()), SIGTERM);
    QVERIFY(velweb.waitForFinished(10000));
    QCOMPARE(velweb.exitStatus(), QProcess::NormalExit);
    QCOMPARE(velweb.exitCode(), 0);
    const QString log = Log(program);
    QVERIFY2(log.contains("WEB Velmar Web Server is starting"), qPrintable(log));
    QVERIFY2(log.contains("WEB Velmar Web Server shuts down because Windows shuts down"),
             qPrintable(log));
    QVERIFY2(!log.contains("user interaction"), qPrintable(log));
  }

 private:
  // The names of the windows on the display, as xwininfo lists them.
  static QString WindowNames() {
    QProcess xwininfo;
    xwininfo.start("xwininfo", {"-root", "-tree"});
    if (!xwininfo.waitForFinished(5000)) return "<xwininfo failed>";
    return QString::fromLocal8Bit(xwininfo.readAllStandardOutput());
  }

  static QString Log(const QTemporaryDir& program) {
    QString text;
    for (const QString& name : QDir(program.path()).entryList({"*.LOG"}, QDir::Files)) {
      QFile file(program.filePath(name));
      if (file.open(QIODevice::ReadOnly)) text += QString::fromLatin1(file.readAll());
    }
    return text;
  }
};

QTEST_MAIN(GuiProgramTest)
#include "gui_program_test.moc"
