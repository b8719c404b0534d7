// Message boxes shown with the toolkit: an OK button, wide enough for the
// caption; errors carry the critical icon. A box asked for from another
// thread is shown on the user-interface thread, which the caller waits for.
#pragma once

#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>
#include <QString>
#include <QThread>
#include <QWidget>

#include "form/controls.h"

namespace qv::gui {

class QtBoxes : public MessageBoxes {
 public:
  explicit QtBoxes(QWidget* parent) : parent_(parent) {}
  void Show(const std::string& text, const std::string& caption) override { show(QMessageBox::NoIcon, text, caption); }
  void ShowError(const std::string& text, const std::string& caption) override {
    show(QMessageBox::Critical, text, caption);
  }

 private:
  void show(QMessageBox::Icon icon, const std::string& text, const std::string& caption) {
    if (QThread::currentThread() != parent_->thread()) {
      QMetaObject::invokeMethod(parent_, [=, this] { show(icon, text, caption); }, Qt::BlockingQueuedConnection);
      return;
    }
    QMessageBox box(icon, QString::fromStdString(caption), QString::fromStdString(text), QMessageBox::Ok, parent_);
    // The title bar shows the caption in full: room for it and the frame's buttons.
    const int width = QFontMetrics(box.font()).horizontalAdvance(box.windowTitle()) * 3 / 2 + 120;
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
      grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                    grid->columnCount());
    box.exec();
  }

  QWidget* parent_;
};

}  // namespace qv::gui
