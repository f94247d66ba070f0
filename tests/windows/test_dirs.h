// Helpers shared by the window tests: a scratch program directory with the files a test
// writes into it, and a check that the images of a grab are not blank.
#pragma once

#include <QImage>
#include <set>
#include <string>

#include "files.h"
#include "vel_proc.h"

namespace vel::test {

// A fresh program directory for one test; ProgramDir points at it while it lives.
class ProgramDirectory {
 public:
  ProgramDirectory() {
    SetProgramDir(dir_.path());
    ResetLanguage();
  }
  ~ProgramDirectory() { ResetLanguage(); }

  const std::string& path() const { return dir_.path(); }
  void Write(const std::string& name, const std::string& bytes) const { dir_.Write(name, bytes); }
  std::string Read(const std::string& name) const { return dir_.Read(name); }

 private:
  veltest::TempDir dir_;
};

// True when the image holds at least `atLeast` distinct colours.
inline bool HasColours(const QImage& image, size_t atLeast) {
  std::set<QRgb> colours;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      colours.insert(image.pixel(x, y));
      if (colours.size() >= atLeast) return true;
    }
  }
  return false;
}

}  // namespace vel::test
