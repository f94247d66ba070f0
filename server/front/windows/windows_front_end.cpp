#include "windows_front_end.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>

#include "program_icon.h"
#include "text_1252.h"
#include "vel_about.h"
#include "vel_language.h"
#include "vel_webserv.h"

namespace vel {
namespace {

const QString kCaption = QStringLiteral("Velmar Web Server");

}  // namespace

WindowsFrontEnd::WindowsFrontEnd(CoreHandlers core) {
  LoadWindowImages();
  QApplication::setWindowIcon(ProgramIcon());
  // The program ends when the core lets the main window close, not when some window
  // (the language window before the main one exists, the splash) happens to be last.
  QApplication::setQuitOnLastWindowClosed(false);
  mainWindow_ = std::make_unique<Vel_WebServ>(Vel_WebServ::Handlers{
      std::move(core.formActivate),
      std::move(core.formQueryUnload),
      [] { QCoreApplication::exit(0); },
  });
}

WindowsFrontEnd::~WindowsFrontEnd() {
  if (busy_) QApplication::restoreOverrideCursor();
  delete splash_.data();
}

Vel_About* WindowsFrontEnd::Splash() const { return splash_.data(); }

void WindowsFrontEnd::Start() {
  mainWindow_->show();
  mainWindow_->raise();
  mainWindow_->activateWindow();
}

void WindowsFrontEnd::ShowServedRequests(int32_t count) { mainWindow_->SetServedRequests(count); }

void WindowsFrontEnd::ReceiversChanged(const std::vector<std::string>& sortedNames) {
  mainWindow_->SetReceivers(sortedNames);
}

void WindowsFrontEnd::ShowMessage(const std::string& text, MessageIcon icon) {
  QWidget* owner = mainWindow_->isVisible() ? mainWindow_.get() : nullptr;
  QMessageBox box(icon == MessageIcon::Question ? QMessageBox::Question : QMessageBox::Warning,
                  kCaption, FromWindows1252(text), QMessageBox::Ok, owner);
  box.exec();
}

bool WindowsFrontEnd::AskYesNo(const std::string& text) {
  QWidget* owner = mainWindow_->isVisible() ? mainWindow_.get() : nullptr;
  QMessageBox box(QMessageBox::Question, kCaption, FromWindows1252(text),
                  QMessageBox::Yes | QMessageBox::No, owner);
  // Stopping the server is the step that loses something: Enter and Escape keep it.
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

void WindowsFrontEnd::ChooseLanguage(const std::string& programDir) {
  Vel_Language window(programDir);
  window.exec();
}

void WindowsFrontEnd::ShowSplash(const std::string& caption, const std::string& panel,
                                 const std::string& info) {
  if (splash_) return;  // shown once per run
  auto* about = new Vel_About(mainWindow_.get());
  about->setAttribute(Qt::WA_DeleteOnClose);
  splash_ = about;
  about->show();
  about->activateWindow();
  about->setWindowTitle(FromWindows1252(caption));
  about->SetPanelText(panel);
  about->SetInfoText(info);
  about->repaint();
}

void WindowsFrontEnd::SetSplashInfo(const std::string& info) {
  if (splash_) splash_->SetInfoText(info);
}

void WindowsFrontEnd::CloseSplash() {
  if (splash_) splash_->close();
}

void WindowsFrontEnd::SetBusy(bool busy) {
  if (busy == busy_) return;
  busy_ = busy;
  if (busy) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
}

}  // namespace vel
