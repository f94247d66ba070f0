// Vel_About: the about window, shown as the start-up splash. It holds nine 32 x 32
// animation frames on one spot (Picture_Velmar(0) to (8)), the yellow Panel with name,
// version and maker, and the grey status line Label_Info, all on teal. Timer_Unload
// ticks every 150 ms from creation: picture 1 is held, pictures 0 and 1 blink, then
// pictures 1 to 8 are stepped through and 8 is held; the window closes itself at tick
// 31 (4.8 s after it was created), at once on any key, or when its owner closes it.
// Closing stops the timer, so no tick runs after it.
#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>
#include <array>
#include <cstdint>

class QLabel;

namespace vel {

class Vel_About : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kPictureCount = 9;
  static constexpr int kTickMs = 150;

  explicit Vel_About(QWidget* parent = nullptr);

  // The texts come as the core builds them: 8-bit Windows-1252, lines ended by CR LF.
  void SetPanelText(const std::string& text);
  void SetInfoText(const std::string& text);

  // What the animation shows, for whoever checks it.
  bool PictureShown(int index) const;
  int16_t TickCount() const { return TickCount_; }
  bool TimerRunning() const { return Timer_Unload.isActive(); }
  QString PanelText() const;
  QString InfoText() const;

 public slots:
  // One animation step; Timer_Unload calls it every 150 ms.
  void Timer_Unload_Timer();

 protected:
  void keyPressEvent(QKeyEvent* event) override;  // Form_KeyDown
  void closeEvent(QCloseEvent* event) override;   // Form_Unload

 private:
  void Form_Load();
  void ShowPicture(int index, bool shown);

  std::array<QLabel*, kPictureCount> Picture_Velmar{};
  QLabel* Panel = nullptr;
  QLabel* Label_Info = nullptr;
  QTimer Timer_Unload;
  int16_t TickCount_ = 0;
  int16_t FrameIndex_ = 0;
};

}  // namespace vel
