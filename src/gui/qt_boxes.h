// Message boxes shown with the toolkit: an OK button, wide enough for the
// caption and for every path of the text on one line; errors carry the
// critical icon, what to do below the message and their details collapsed.
// A box asked for from another thread is shown on the user-interface
// thread, which the caller waits for.
#pragma once

#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScreen>
#include <QSpacerItem>
#include <QString>
#include <QThread>
#include <QWidget>

#include "form/controls.h"

namespace qv::gui {

class QtBoxes : public MessageBoxes {
 public:
  explicit QtBoxes(QWidget* parent) : parent_(parent) {}
  void Show(const std::string& text, const std::string& caption) override {
    show(QMessageBox::NoIcon, {caption, text, what_to_do(text), {}});
  }
  void ShowError(const std::string& text, const std::string& caption) override {
    show(QMessageBox::Critical, {caption, text, what_to_do(text), {}});
  }
  void ShowProblem(const Problem& p) override { show(QMessageBox::Critical, p); }

 private:
  void show(QMessageBox::Icon icon, const Problem& p) {
    if (QThread::currentThread() != parent_->thread()) {
      QMetaObject::invokeMethod(parent_, [=, this] { show(icon, p); }, Qt::BlockingQueuedConnection);
      return;
    }
    QMessageBox box(icon, QString::fromStdString(p.title), QString::fromStdString(p.what), QMessageBox::Ok, parent_);
    if (!p.todo.empty()) box.setInformativeText(QString::fromStdString(p.todo));
    if (!p.details.empty()) box.setDetailedText(QString::fromStdString(p.details));
    // The title bar shows the caption in full, and a path is never split
    // over two lines: room for the longest word (as far as the screen allows).
    const QFontMetrics fm(box.font());
    int width = fm.horizontalAdvance(box.windowTitle()) * 3 / 2 + 120;
    for (const QString& word : (box.text() + ' ' + box.informativeText())
                                   .split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts))
      width = std::max(width, fm.horizontalAdvance(word) + 24);
    if (const QScreen* s = parent_->screen()) width = std::min(width, s->availableGeometry().width() * 3 / 4);
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
      grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                    grid->columnCount());
    box.exec();
  }

  QWidget* parent_;
};

}  // namespace qv::gui
