#include <gtest/gtest.h>

#include <vector>

#include "vel_proc.h"

namespace vel {
namespace {

TEST(CenterFormTest, CentresAndKeepsEdgesOnScreen) {
  struct Case {
    float screenWidth, screenHeight, formWidth, formHeight, left, top;
  };
  const std::vector<Case> cases = {
      {1280, 1024, 400, 300, 440, 362},
      {1000, 800, 1100, 900, 0, 0},    // larger than the screen: left and top edges
      {1000, 800, 899, 800, 50.5, 0},  // 101 narrower gives a half
      {1000, 800, 1000, 100, 0, 350},
      {0, 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    const FormPosition at = CenterForm(c.screenWidth, c.screenHeight, c.formWidth, c.formHeight);
    EXPECT_FLOAT_EQ(at.left, c.left);
    EXPECT_FLOAT_EQ(at.top, c.top);
  }
}

}  // namespace
}  // namespace vel
