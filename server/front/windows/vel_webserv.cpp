#include "vel_webserv.h"

#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QVBoxLayout>

#include "program_icon.h"
#include "text_1252.h"

namespace vel {

Vel_WebServ::Vel_WebServ(Handlers handlers, QWidget* parent)
    : QWidget(parent), handlers_(std::move(handlers)) {
  setObjectName(QStringLiteral("Vel_WebServ"));
  setWindowTitle(QStringLiteral("Velmar Web Server"));
  setWindowIcon(ProgramIcon());

  auto* icon = new QLabel(this);
  icon->setPixmap(QPixmap(QStringLiteral(":/velweb/images/velweb_48.png")));
  icon->setFixedSize(48, 48);

  Label = new QLabel(QStringLiteral("Served requests:"), this);
  Label->setObjectName(QStringLiteral("Label"));

  Label_Reqs = new QLabel(QStringLiteral("0"), this);
  Label_Reqs->setObjectName(QStringLiteral("Label_Reqs"));
  Label_Reqs->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  Label_Reqs->setFrameShape(QFrame::StyledPanel);
  Label_Reqs->setFrameShadow(QFrame::Sunken);
  Label_Reqs->setMinimumWidth(90);
  Label_Reqs->setContentsMargins(6, 2, 6, 2);
  QFont countFont = Label_Reqs->font();
  countFont.setBold(true);
  countFont.setPointSizeF(countFont.pointSizeF() * 1.25);
  Label_Reqs->setFont(countFont);
  Label_Reqs->setTextInteractionFlags(Qt::TextSelectableByMouse);

  // The holder of the receiver names: never shown.
  List_Receivers = new QListWidget(this);
  List_Receivers->setObjectName(QStringLiteral("List_Receivers"));
  List_Receivers->hide();

  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(16, 14, 18, 14);
  row->setSpacing(14);
  row->addWidget(icon);
  row->addWidget(Label);
  row->addWidget(Label_Reqs, 1, Qt::AlignVCenter);
  row->setSizeConstraint(QLayout::SetFixedSize);
}

void Vel_WebServ::SetServedRequests(int32_t count) { Label_Reqs->setText(QString::number(count)); }

void Vel_WebServ::SetReceivers(const std::vector<std::string>& sortedNames) {
  List_Receivers->clear();
  for (const std::string& name : sortedNames) List_Receivers->addItem(FromWindows1252(name));
}

bool Vel_WebServ::event(QEvent* event) {
  const bool handled = QWidget::event(event);
  if (event->type() == QEvent::WindowActivate && handlers_.formActivate) handlers_.formActivate();
  return handled;
}

void Vel_WebServ::closeEvent(QCloseEvent* event) {
  const bool cancel = handlers_.formQueryUnload ? handlers_.formQueryUnload() : false;
  if (cancel) {
    event->ignore();
    return;
  }
  event->accept();
  if (handlers_.closed) handlers_.closed();
}

}  // namespace vel
