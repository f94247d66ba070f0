// Linked into every window test: the windows are real windows on the display when there
// is one (Xvfb in CI), and on Qt's offscreen platform when there is none, so that a plain
// ctest passes on a machine without a display too. Runs before main, and so before Qt
// picks its platform; a platform named in the environment is left as it is.
#include <cstdlib>

namespace {

bool Set(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

const bool kPlatformChosen = [] {
  if (!Set("DISPLAY") && !Set("WAYLAND_DISPLAY") && !Set("QT_QPA_PLATFORM")) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
  return true;
}();

}  // namespace
