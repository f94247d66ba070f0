// The windows' pictures: the program icon every window shows and the about window's
// frames, drawn once (images/make_images.py) and kept in a Qt resource linked into this
// static library. LoadWindowImages registers the resource before any window reads from
// it; every window calls it.
#pragma once

#include <QIcon>

namespace vel {

void LoadWindowImages();

// The program's own icon, the ringing bell, at every size drawn for it.
QIcon ProgramIcon();

}  // namespace vel
