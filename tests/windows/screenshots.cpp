// Saves pictures of the three windows as they appear on the screen: the main window
// with a count, the language window with a choice made, and the about window in the
// middle of its animation. Fails when one of them comes out blank.
//
//   velweb_window_screenshots OUTPUT_DIR
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <fstream>

#include "test_dirs.h"
#include "vel_about.h"
#include "vel_language.h"
#include "vel_proc.h"
#include "vel_webserv.h"

namespace {

bool Save(QWidget& window, const QString& path) {
  window.show();
  window.raise();
  if (!QTest::qWaitForWindowExposed(&window, 5000)) {
    std::fprintf(stderr, "screenshots: %s was never shown\n", qPrintable(path));
    return false;
  }
  QTest::qWait(100);
  const QImage image = window.grab().toImage();
  if (!image.save(path)) {
    std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(path));
    return false;
  }
  // A real window shows text and frames: many colours, not one flat fill.
  if (!vel::test::HasColours(image, 8)) {
    std::fprintf(stderr, "screenshots: %s is blank\n", qPrintable(path));
    return false;
  }
  std::printf("%s (%dx%d)\n", qPrintable(path), image.width(), image.height());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(out);

  vel::test::ProgramDirectory dir;
  dir.Write("VELWEB.INI", "[General]\r\nLanguage=001\r\n");
  dir.Write("vel_lang.001", "0=English\r\n10=About Velmar Web Server\r\n13=Version\r\n14=By\r\n");
  dir.Write("vel_lang.049", "0=Deutsch\r\n");
  dir.Write("vel_lang.033",
            "0=Fran\xE7"
            "ais\r\n");
  vel::LoadLanguage();

  bool ok = true;

  vel::Vel_WebServ main({});
  main.SetServedRequests(1207);
  ok = Save(main, out + "/main_window.png") && ok;

  vel::Vel_Language language(dir.path());
  language.Combo_Language->setCurrentIndex(1);
  ok = Save(language, out + "/language_window.png") && ok;

  vel::Vel_About about;
  about.setWindowTitle("Velmar Web Server");
  about.SetPanelText(
      "Velmar Web Server\r\n\r\nVersion 1.0.00\r\n\r\nBy Velmar Systems 1999-2001\r\n");
  about.SetInfoText("Velmar Web Server Initialized Ok...");
  for (int tick = 0; tick < 15; ++tick) about.Timer_Unload_Timer();  // picture 4 shown
  ok = Save(about, out + "/about_window.png") && ok;

  return ok ? 0 : 1;
}
