#include "window_placement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include "vel_proc.h"

namespace vel {

void CenterOnScreen(QWidget& window) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  const FormPosition at =
      CenterForm(static_cast<float>(area.width()), static_cast<float>(area.height()),
                 static_cast<float>(window.width()), static_cast<float>(window.height()));
  window.move(area.x() + static_cast<int>(at.left), area.y() + static_cast<int>(at.top));
}

}  // namespace vel
