// Vel_WebServ: the main window. It shows "Served requests:" and the count Label_Reqs,
// and holds the hidden list List_Receivers, a mirror of the receiver names in the order
// the server sorted them. The window itself only reports its events: every activation
// (Form_Activate) and every attempt to close it (Form_QueryUnload, which may cancel the
// close) go to the handlers it was built with.
#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QLabel;
class QListWidget;

namespace vel {

class Vel_WebServ : public QWidget {
  Q_OBJECT

 public:
  struct Handlers {
    std::function<void()> formActivate;
    // True keeps the window open; false lets it close, after which `closed` runs.
    std::function<bool()> formQueryUnload;
    std::function<void()> closed;
  };

  explicit Vel_WebServ(Handlers handlers, QWidget* parent = nullptr);

  void SetServedRequests(int32_t count);
  void SetReceivers(const std::vector<std::string>& sortedNames);

  QLabel* Label = nullptr;
  QLabel* Label_Reqs = nullptr;
  QListWidget* List_Receivers = nullptr;

 protected:
  bool event(QEvent* event) override;            // WindowActivate: Form_Activate
  void closeEvent(QCloseEvent* event) override;  // Form_QueryUnload

 private:
  Handlers handlers_;
};

}  // namespace vel
