// Message boxes shown with the toolkit: an OK button, wide enough for the
// caption, lines broken at spaces only (a path never splits); errors carry the
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

#include <algorithm>
#include <initializer_list>

#include "form/controls.h"

namespace qv::gui {

// The width the box's lines are broken at: about sixty characters, more
// for a longer path, less than the screen allows a message box.
inline int line_width(const QWidget* near, const QFontMetrics& metrics, std::initializer_list<QString> texts) {
  int widest_word = 0;
  for (const QString& text : texts)
    for (const QString& word : text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts))
      widest_word = std::max(widest_word, metrics.horizontalAdvance(word));
  const QScreen* screen = near->screen();
  const int screen_width = screen ? screen->availableGeometry().width() : 1024;
  const int limit = (screen_width <= 1024 ? screen_width : std::min(screen_width - 480, 1000)) - 160;
  return std::max(metrics.averageCharWidth() * 20,
                  std::min(std::max(widest_word, metrics.averageCharWidth() * 60), limit));
}

// The text with its lines broken at spaces only, none wider than `width`
// unless one word is: a path (no spaces) stays on one line, and a copy of
// it holds nothing but its own characters.
inline QString broken_at_spaces(const QString& text, const QFontMetrics& metrics, int width) {
  QStringList lines;
  for (const QString& paragraph : text.split('\n')) {
    QString line;
    for (const QString& word : paragraph.split(' ', Qt::SkipEmptyParts)) {
      if (!line.isEmpty() && metrics.horizontalAdvance(line + ' ' + word) > width) {
        lines << line;
        line.clear();
      }
      line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    lines << line;
  }
  return lines.join('\n');
}

// The message box's text and what to do, broken at spaces to one width,
// with room for them beside the icon. Set last: the box lays itself out
// afresh when its details are set, and the room would be lost.
inline void set_box_texts(QMessageBox& box, const QString& text, const QString& todo = {}) {
  const QFontMetrics metrics(box.font());
  const int width = line_width(&box, metrics, {text, todo});
  box.setTextFormat(Qt::PlainText);
  box.setText(broken_at_spaces(text, metrics, width));
  if (!todo.isEmpty()) box.setInformativeText(broken_at_spaces(todo, metrics, width));
  // Room for the lines beside the icon, and for the caption in full with
  // the frame's buttons: the box's labels then keep the lines as broken.
  const int room = std::max(width + metrics.averageCharWidth() * 2 + 80,
                            metrics.horizontalAdvance(box.windowTitle()) * 3 / 2 + 120);
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
    grid->addItem(new QSpacerItem(room, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                  grid->columnCount());
}

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
    QMessageBox box(icon, QString::fromStdString(p.title), QString(), QMessageBox::Ok, parent_);
    if (!p.details.empty()) box.setDetailedText(QString::fromStdString(p.details));
    set_box_texts(box, QString::fromStdString(p.what), QString::fromStdString(p.todo));
    box.exec();
  }

  QWidget* parent_;
};

}  // namespace qv::gui
