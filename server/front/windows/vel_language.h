// Vel_Language: the language selection window, opened modally at start-up when no
// language is set. Combo_Language lists the languages found in the program directory
// (each entry carries its code as item data); Command_Ok stores the selected code in
// the profile ("General"/"Language" of "VELWEB.INI", "000" form) and closes the window.
// There is no cancel button; closing the window any other way stores nothing.
#pragma once

#include <QDialog>
#include <string>

class QComboBox;
class QPushButton;

namespace vel {

class Vel_Language : public QDialog {
  Q_OBJECT

 public:
  explicit Vel_Language(std::string programDir, QWidget* parent = nullptr);

  QComboBox* Combo_Language = nullptr;
  QPushButton* Command_Ok = nullptr;

 private slots:
  void Command_Ok_Click();

 private:
  void Form_Load();

  std::string programDir_;
};

}  // namespace vel
