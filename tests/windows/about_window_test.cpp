// The about window: its animation course tick by tick, how it closes, its texts and
// where it is placed.
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QSignalSpy>
#include <QtTest>
#include <memory>
#include <set>

#include "test_dirs.h"
#include "vel_about.h"

using vel::Vel_About;

namespace {

// Pictures shown after each tick (tick = TickCount at the start of the tick).
std::set<int> ExpectedAfterTick(int tick) {
  if (tick <= 3) return {1};
  if (tick <= 9) return {tick % 2 == 0 ? 0 : 1};
  if (tick == 10) return {0, 1};
  if (tick <= 18) return {tick - 10};
  return {8};
}

std::set<int> Shown(const Vel_About& about) {
  std::set<int> shown;
  for (int i = 0; i < Vel_About::kPictureCount; ++i) {
    if (about.PictureShown(i)) shown.insert(i);
  }
  return shown;
}

QString Describe(const std::set<int>& pictures) {
  QStringList names;
  for (int p : pictures) names << QString::number(p);
  return "{" + names.join(',') + "}";
}

}  // namespace

class AboutWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { dir_ = std::make_unique<vel::test::ProgramDirectory>(); }
  void cleanup() { dir_.reset(); }

  void picturesFollowTheTickTable() {
    Vel_About about;
    about.show();
    QCOMPARE(Shown(about), std::set<int>{});  // all hidden when the window opens
    for (int tick = 0; tick <= 30; ++tick) {
      QCOMPARE(about.TickCount(), tick);
      about.Timer_Unload_Timer();
      const std::set<int> shown = Shown(about);
      QVERIFY2(shown == ExpectedAfterTick(tick),
               qPrintable(QString("tick %1: shown %2, expected %3")
                              .arg(tick)
                              .arg(Describe(shown), Describe(ExpectedAfterTick(tick)))));
      QVERIFY2(about.isVisible(), qPrintable(QString("closed early, at tick %1").arg(tick)));
    }
    about.Timer_Unload_Timer();  // tick 31
    QVERIFY(!about.isVisible());
    QVERIFY(!about.TimerRunning());
    QCOMPARE(about.TickCount(), 32);
  }

  void timerClosesTheWindowAfterThirtyTwoTicks() {
    Vel_About about;
    about.show();
    QVERIFY(about.TimerRunning());
    QTRY_VERIFY_WITH_TIMEOUT(!about.isVisible(), 15000);
    QCOMPARE(about.TickCount(), 32);
    QVERIFY(!about.TimerRunning());
    QTest::qWait(2 * Vel_About::kTickMs);  // no tick after the close
    QCOMPARE(about.TickCount(), 32);
    QCOMPARE(Shown(about), std::set<int>{8});
  }

  void anyKeyClosesAtOnce_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("ticksBefore");
    QTest::newRow("letter at the start") << int(Qt::Key_A) << 0;
    QTest::newRow("escape while blinking") << int(Qt::Key_Escape) << 6;
    QTest::newRow("space while stepping") << int(Qt::Key_Space) << 14;
    QTest::newRow("shift while holding") << int(Qt::Key_Shift) << 25;
  }

  void anyKeyClosesAtOnce() {
    QFETCH(int, key);
    QFETCH(int, ticksBefore);
    Vel_About about;
    about.show();
    for (int i = 0; i < ticksBefore; ++i) about.Timer_Unload_Timer();
    QTest::keyClick(&about, static_cast<Qt::Key>(key));
    QVERIFY(!about.isVisible());
    QVERIFY(!about.TimerRunning());
    QTest::qWait(3 * Vel_About::kTickMs);
    QCOMPARE(about.TickCount(), ticksBefore);
  }

  void closingStopsTheTimer() {
    Vel_About about;
    about.show();
    about.close();
    QVERIFY(!about.TimerRunning());
    QTest::qWait(3 * Vel_About::kTickMs);
    QCOMPARE(about.TickCount(), 0);
  }

  void captionIsTextTenAtLoad() {
    // No language: the invalid-text message stands in.
    {
      Vel_About about;
      QCOMPARE(about.windowTitle(), QString("Invalid Text (10)"));
    }
    dir_->Write("VELWEB.INI", "[General]\r\nLanguage=001\r\n");
    dir_->Write("vel_lang.001",
                "0=English\r\n10=\x80"
                "ber Velmar \x93Web\x94\r\n");
    QVERIFY(vel::LoadLanguage());
    Vel_About about;
    QCOMPARE(about.windowTitle(), QString::fromUtf8("€ber Velmar “Web”"));
  }

  void textsAreConvertedForDisplay() {
    Vel_About about;
    about.SetPanelText("Version 1.0.00\r\n\r\n\xA9 Fran\xE7ois \x96 2001\r\n");
    QCOMPARE(about.PanelText(), QString::fromUtf8("Version 1.0.00\n\n© François – 2001\n"));
  }

  void picturesAreLoaded() {
    Vel_About about;
    // Nine real 32 x 32 frames on one spot.
    for (int i = 0; i < Vel_About::kPictureCount; ++i) {
      auto* picture = about.findChild<QLabel*>(QString("Picture_Velmar(%1)").arg(i));
      QVERIFY(picture);
      QCOMPARE(picture->pixmap().size(), QSize(32, 32));
      QCOMPARE(picture->geometry(), QRect(0, 0, 32, 32));
    }
  }

  void centredOnTheScreen() {
    Vel_About about;
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const vel::FormPosition at = vel::CenterForm(float(area.width()), float(area.height()),
                                                 float(about.width()), float(about.height()));
    QCOMPARE(about.pos(), QPoint(area.x() + int(at.left), area.y() + int(at.top)));
  }

 private:
  std::unique_ptr<vel::test::ProgramDirectory> dir_;
};

QTEST_MAIN(AboutWindowTest)
#include "about_window_test.moc"
