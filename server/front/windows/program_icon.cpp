#include "program_icon.h"

// Q_INIT_RESOURCE may not stand inside a namespace.
static void RegisterWindowImages() { Q_INIT_RESOURCE(windows); }

namespace vel {

void LoadWindowImages() {
  static const bool registered = (RegisterWindowImages(), true);
  (void)registered;
}

QIcon ProgramIcon() {
  LoadWindowImages();
  QIcon icon;
  for (int size : {16, 32, 48, 64}) {
    icon.addFile(QStringLiteral(":/velweb/images/velweb_%1.png").arg(size), QSize(size, size));
  }
  return icon;
}

}  // namespace vel
