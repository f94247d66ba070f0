#include "vel_language.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "language_files.h"
#include "text_1252.h"
#include "vel_proc.h"
#include "window_placement.h"

namespace vel {

Vel_Language::Vel_Language(std::string programDir, QWidget* parent)
    : QDialog(parent), programDir_(std::move(programDir)) {
  setWindowTitle(QStringLiteral("Velmar - Select Language"));
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

  auto* icon = new QLabel(this);
  icon->setPixmap(QPixmap(QStringLiteral(":/velweb/images/velweb_32.png")));
  icon->setAlignment(Qt::AlignTop);

  Combo_Language = new QComboBox(this);
  Combo_Language->setObjectName(QStringLiteral("Combo_Language"));
  Combo_Language->setMinimumWidth(260);
  Combo_Language->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  Combo_Language->setPlaceholderText(QStringLiteral("Select a language"));

  Command_Ok = new QPushButton(QStringLiteral("OK"), this);
  Command_Ok->setObjectName(QStringLiteral("Command_Ok"));
  Command_Ok->setDefault(true);
  connect(Command_Ok, &QPushButton::clicked, this, &Vel_Language::Command_Ok_Click);

  auto* buttons = new QDialogButtonBox(this);
  buttons->addButton(Command_Ok, QDialogButtonBox::AcceptRole);

  auto* row = new QHBoxLayout;
  row->setSpacing(14);
  row->addWidget(icon);
  row->addWidget(Combo_Language, 1, Qt::AlignVCenter);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(18, 18, 18, 14);
  layout->setSpacing(16);
  layout->addLayout(row);
  layout->addWidget(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  Form_Load();

  // In the middle of the screen, as the about window.
  adjustSize();
  CenterOnScreen(*this);
}

void Vel_Language::Form_Load() {
  for (const LanguageChoice& language : FindLanguages(programDir_)) {
    Combo_Language->addItem(FromWindows1252(language.name), QVariant::fromValue(language.code));
  }
  Combo_Language->setCurrentIndex(-1);  // nothing chosen until the user picks
}

void Vel_Language::Command_Ok_Click() {
  if (Combo_Language->currentIndex() >= 0) {
    const auto code = Combo_Language->currentData().value<int16_t>();
    SaveLanguageChoice(code);
  }
  accept();
}

}  // namespace vel
