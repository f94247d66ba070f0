// The windows' images (the program icon, the about window's frames) live in a Qt
// resource linked into this static library; LoadWindowImages makes sure it is
// registered before any window reads from it. Every window calls it.
#pragma once

#include <QIcon>

namespace vel {

void LoadWindowImages();

// The program's own icon, the ringing bell, at every size drawn for it.
QIcon ProgramIcon();

}  // namespace vel
