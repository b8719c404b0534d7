// Message boxes shown with the toolkit: an OK button, wide enough for the
// caption, paths never split over two lines; errors carry the
// critical icon, what to do below the message and their details collapsed.
// A box asked for from another thread is shown on the user-interface
// thread, which the caller waits for.
#pragma once

#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QRegularExpression>
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
    QMessageBox box(icon, QString::fromStdString(p.title), unbroken(p.what), QMessageBox::Ok, parent_);
    if (!p.todo.empty()) box.setInformativeText(unbroken(p.todo));
    if (!p.details.empty()) box.setDetailedText(QString::fromStdString(p.details));
    // The title bar shows the caption in full: room for it and the frame's buttons.
    const int width = QFontMetrics(box.font()).horizontalAdvance(box.windowTitle()) * 3 / 2 + 120;
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
      grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                    grid->columnCount());
    box.exec();
  }

  // The text with its paths never split over two lines: between their
  // characters a word joiner (U+2060, not shown) takes away every place a
  // line could break (after ":", "\\", "-"...). The details keep the path as
  // it is, for copying.
  static QString unbroken(const std::string& text) {
    QString shown;
    static const QRegularExpression path(QStringLiteral("\\S*[\\\\/]\\S*"));
    const QString plain = QString::fromStdString(text);
    qsizetype from = 0;
    for (auto it = path.globalMatch(plain); it.hasNext();) {
      const QRegularExpressionMatch m = it.next();
      shown += plain.mid(from, m.capturedStart() - from);
      const QString p = m.captured();
      for (qsizetype i = 0; i < p.size(); ++i) {
        if (i > 0 && !p[i].isLowSurrogate()) shown += QChar(0x2060);
        shown += p[i];
      }
      from = m.capturedEnd();
    }
    return shown + plain.mid(from);
  }

  QWidget* parent_;
};

}  // namespace qv::gui
