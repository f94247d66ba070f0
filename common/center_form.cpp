// CenterForm: where a window of a given size sits in the middle of the screen.
#include "vel_proc.h"

namespace vel {

FormPosition CenterForm(float screenWidth, float screenHeight, float formWidth, float formHeight) {
  FormPosition position{(screenWidth - formWidth) / 2.0f, (screenHeight - formHeight) / 2.0f};
  // A window larger than the screen keeps its left or top edge on the screen.
  if (!(position.left >= 0.0f)) position.left = 0.0f;
  if (!(position.top >= 0.0f)) position.top = 0.0f;
  return position;
}

}  // namespace vel
