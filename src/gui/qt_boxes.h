// Message boxes shown with the toolkit: a plain box with an OK button.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QWidget>

#include "form/controls.h"

namespace qv::gui {

class QtBoxes : public MessageBoxes {
 public:
  explicit QtBoxes(QWidget* parent) : parent_(parent) {}
  void Show(const std::string& text, const std::string& caption) override {
    QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption), QString::fromStdString(text),
                    QMessageBox::Ok, parent_);
    box.exec();
  }

 private:
  QWidget* parent_;
};

}  // namespace qv::gui
