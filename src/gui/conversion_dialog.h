// The conversion form's window: widgets bound to the core form, which holds
// the state and the handlers.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include <QDialog>

#include "form/conversion_form.h"

class QFileSystemModel;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTreeView;

namespace qv::gui {

class LowerCaseProxy;

// Lets a repaint through at most every 50 ms.
class RepaintThrottle {
 public:
  bool due() {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(50)) return false;
    last_ = now;
    return true;
  }

 private:
  std::chrono::steady_clock::time_point last_{};
};

class ConversionDialog : public QDialog {
 public:
  // `boxes` null: the toolkit's message boxes; `steps` null: the form's own
  // builder and converters.
  explicit ConversionDialog(QWidget* parent, MessageBoxes* boxes = nullptr, ConversionSteps* steps = nullptr);
  ~ConversionDialog() override;

  Tconversion_form& form() { return form_; }

  QLabel* Label1;
  QTreeView* CDirectoryOutline_Source;
  QLabel* Label2;
  QListWidget* files_checklistbox;
  QPushButton* btn_select_directory;
  QPushButton* btn_reset;
  QPlainTextEdit* Memo1;
  QLabel* Label3;
  QPushButton* btn_convert;
  QLineEdit* Edit1;
  // Reads the ticked tables of the accepted folder and logs what would stop
  // or change a run; enabled while the tables are being chosen.
  QPushButton* btn_check;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void build_widgets();
  void bind();
  void show_directory();
  void directory_chosen(const QModelIndex& current);
  // Runs a handler of the form; an error it raises is shown in a message box.
  void handle(void (Tconversion_form::*handler)(Sender));
  void guarded(const std::function<void()>& action);
  void check_tables();
  void update_check_enabled();

  std::unique_ptr<MessageBoxes> own_boxes_;
  MessageBoxes* boxes_;
  Tconversion_form form_;
  QFileSystemModel* dirs_ = nullptr;
  LowerCaseProxy* lower_ = nullptr;
  std::vector<QMetaObject::Connection> connections_;
  bool showing_directory_ = false;
  bool keep_in_view_ = false;
  bool activated_ = false;
  RepaintThrottle edit_throttle_;
  RepaintThrottle log_throttle_;
};

}  // namespace qv::gui
