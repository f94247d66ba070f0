#include "vel_about.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>
#include <cstdlib>

#include "text_1252.h"
#include "vel_proc.h"
#include "window_placement.h"

namespace vel {
namespace {

const QColor kTeal(0, 128, 128);
const QColor kYellow(255, 255, 0);
const QColor kLightGrey(224, 224, 224);

// The core sends CR LF line ends; a label wants LF.
QString DisplayText(const std::string& text) {
  QString shown = FromWindows1252(text);
  shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return shown;
}

}  // namespace

Vel_About::Vel_About(QWidget* parent) : QWidget(parent, Qt::Dialog) {
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setWindowTitle(QStringLiteral("Velmar Alarm Server"));
  setFocusPolicy(Qt::StrongFocus);  // keys come to the window itself

  setAutoFillBackground(true);
  QPalette teal = palette();
  teal.setColor(QPalette::Window, kTeal);
  setPalette(teal);

  // The nine frames lie on one spot; a later index is drawn above an earlier one.
  auto* pictureSpot = new QWidget(this);
  pictureSpot->setFixedSize(32, 32);
  for (int i = 0; i < kPictureCount; ++i) {
    auto* picture = new QLabel(pictureSpot);
    picture->setObjectName(QStringLiteral("Picture_Velmar(%1)").arg(i));
    picture->setPixmap(QPixmap(QStringLiteral(":/velweb/images/velmar%1.png").arg(i)));
    picture->setGeometry(0, 0, 32, 32);
    picture->hide();
    Picture_Velmar[static_cast<size_t>(i)] = picture;
  }

  Panel = new QLabel(this);
  Panel->setObjectName(QStringLiteral("Panel"));
  Panel->setAlignment(Qt::AlignCenter);
  Panel->setWordWrap(true);
  Panel->setMinimumWidth(280);
  QFont panelFont = Panel->font();
  panelFont.setBold(true);
  Panel->setFont(panelFont);
  QPalette yellow = Panel->palette();
  yellow.setColor(QPalette::WindowText, kYellow);
  Panel->setPalette(yellow);

  Label_Info = new QLabel(this);
  Label_Info->setObjectName(QStringLiteral("Label_Info"));
  Label_Info->setAlignment(Qt::AlignCenter);
  QPalette grey = Label_Info->palette();
  grey.setColor(QPalette::WindowText, kLightGrey);
  Label_Info->setPalette(grey);

  auto* pictureColumn = new QVBoxLayout;
  pictureColumn->addStretch();
  pictureColumn->addWidget(pictureSpot);
  pictureColumn->addStretch();

  auto* textColumn = new QVBoxLayout;
  textColumn->setSpacing(12);
  textColumn->addWidget(Panel, 1);
  textColumn->addWidget(Label_Info);

  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(20, 18, 24, 14);
  layout->setSpacing(18);
  layout->addLayout(pictureColumn);
  layout->addLayout(textColumn, 1);

  Timer_Unload.setInterval(kTickMs);
  connect(&Timer_Unload, &QTimer::timeout, this, &Vel_About::Timer_Unload_Timer);

  Form_Load();
}

void Vel_About::Form_Load() {
  resize(420, 190);
  CenterOnScreen(*this);
  setWindowTitle(FromWindows1252(GetText(kTextAboutCaption)));
  Timer_Unload.start();
}

void Vel_About::SetPanelText(const std::string& text) { Panel->setText(DisplayText(text)); }

void Vel_About::SetInfoText(const std::string& text) {
  Label_Info->setText(DisplayText(text));
  Label_Info->repaint();
}

QString Vel_About::PanelText() const { return Panel->text(); }
QString Vel_About::InfoText() const { return Label_Info->text(); }

bool Vel_About::PictureShown(int index) const {
  return index >= 0 && index < kPictureCount &&
         !Picture_Velmar[static_cast<size_t>(index)]->isHidden();
}

void Vel_About::ShowPicture(int index, bool shown) {
  QLabel* picture = Picture_Velmar[static_cast<size_t>(index)];
  picture->setVisible(shown);
  if (shown) {
    picture->raise();
    picture->repaint();
  }
}

void Vel_About::Timer_Unload_Timer() {
  if (TickCount_ == 0) {
    ShowPicture(1, true);
    FrameIndex_ = -10;
  } else {
    ++FrameIndex_;
  }
  // Stepping through the frames, each one replacing the one before.
  if (FrameIndex_ >= 0 && FrameIndex_ <= 8) {
    ShowPicture(FrameIndex_, true);
    if (FrameIndex_ > 0) ShowPicture(FrameIndex_ - 1, false);
  }
  // Blinking between pictures 0 and 1 before that.
  if (FrameIndex_ >= -6 && FrameIndex_ <= -1) {
    ShowPicture(std::abs(FrameIndex_) % 2, true);
    ShowPicture(std::abs(FrameIndex_ - 1) % 2, false);
  }
  if (TickCount_ > 30) close();
  ++TickCount_;
}

void Vel_About::keyPressEvent(QKeyEvent* event) {
  event->accept();
  close();
}

void Vel_About::closeEvent(QCloseEvent* event) {
  Timer_Unload.stop();
  event->accept();
}

}  // namespace vel
