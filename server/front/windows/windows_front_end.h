// The desktop front end of the web server: the main window Vel_WebServ, message boxes,
// the language window Vel_Language and the about window Vel_About as the start-up
// splash, all Qt Widgets. Needs a QApplication.
//
// How main.cpp uses it (the core's Form_Load may already show the language window and
// message boxes, before the main window appears):
//
//   vel::WebServerCore core;
//   auto frontEnd = std::make_unique<vel::WindowsFrontEnd>(vel::WindowsFrontEnd::CoreHandlers{
//       [&] { core.Form_Activate(); },
//       [&] { return core.Form_QueryUnload(vel::UnloadReason::kUserClose); }});
//   core.SetFrontEnd(frontEnd.get());
//   if (int status = core.Form_Load(); status != 0) return status;
//   frontEnd->Start();   // shows the main window; its activations drive Form_Activate
//   return app.exec();
//
// Closing the main window asks the core (Form_QueryUnload with the user's close); when
// the core lets it close, the front end ends the event loop with QCoreApplication::exit.
#pragma once

#include <QPointer>
#include <functional>
#include <memory>

#include "front_end.h"

namespace vel {

class Vel_WebServ;
class Vel_About;

class WindowsFrontEnd : public FrontEnd {
 public:
  // The windows ask the core to activate and whether the main window may close.
  using CoreHandlers = vel::CoreHandlers;

  // Creates the main window (hidden until Start).
  explicit WindowsFrontEnd(CoreHandlers core);
  ~WindowsFrontEnd() override;

  void ShowServedRequests(int32_t count) override;
  void ShowMessage(const std::string& text, MessageIcon icon) override;
  bool AskYesNo(const std::string& text) override;
  void ChooseLanguage(const std::string& programDir) override;
  void ShowSplash(const std::string& caption, const std::string& panel,
                  const std::string& info) override;
  void SetSplashInfo(const std::string& info) override;
  void CloseSplash() override;
  void SetBusy(bool busy) override;
  void Start() override;
  void ReceiversChanged(const std::vector<std::string>& sortedNames) override;

  Vel_WebServ* MainWindow() const { return mainWindow_.get(); }
  Vel_About* Splash() const;  // null once it has closed

 private:
  std::unique_ptr<Vel_WebServ> mainWindow_;
  QPointer<Vel_About> splash_;
  bool busy_ = false;
};

}  // namespace vel
