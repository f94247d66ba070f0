// Where the program's small windows appear: in the middle of the primary screen's
// available area, placed by the general module's CenterForm.
#pragma once

class QWidget;

namespace vel {

// Moves `window`, at its present size, to the middle of the primary screen.
void CenterOnScreen(QWidget& window);

}  // namespace vel
