// The conversion form's window: widgets bound to the core form, which holds
// the state and the handlers. A run (and a check) goes on a worker thread so
// that the window keeps painting and answering; the core's controls report
// from there, and what they report reaches the widgets through an outbox
// that the user-interface thread empties.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <QColor>
#include <QElapsedTimer>
#include <QDialog>

#include "form/conversion_form.h"

class QFileSystemModel;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QSplitter;
class QStyle;
class QTreeView;

namespace qv::gui {

class LowerCaseProxy;

// Colours of the form. Text on the lime background and the labels reach a
// contrast of at least 4.5:1 in every state.
namespace colours {
inline const QColor kLime{0x00, 0xff, 0x00};
inline const QColor kText{0x00, 0x00, 0x00};
inline const QColor kDisabledText{0x59, 0x59, 0x59};
inline const QColor kLabel{0xc0, 0x00, 0x00};
inline const QColor kDisabledLabel{0x66, 0x56, 0x56};
}  // namespace colours

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
  // Compares the database with the old tables (the form's verify target)
  // and logs the report; enabled when there is a database to compare.
  QPushButton* btn_verify;
  // Along the bottom, never scrolled away: the table at work, its records
  // and its step.
  QProgressBar* progress;
  // Below it, during a run: table n of N, the time since Convert, the rate
  // and the time left for the table; during a check or verify, what is read.
  QLabel* run_status;
  // A database server (host[/port]) and the folder on its machine the
  // database goes into; both empty: a local file.
  QLineEdit* server_edit;
  QLineEdit* server_dir_edit;
  // Saves the log's text to a file the user names.
  QPushButton* btn_save_log;
  // Below the log, collapsed until its button opens it: after a run the
  // figures of each table and where the database is; after a check every
  // finding.
  QPushButton* btn_details;
  QPlainTextEdit* details;
  // Opens the folder of the database a run wrote (enabled after a local run
  // made it), with the desktop's file manager; replaceable for tests.
  QPushButton* btn_open_folder;
  std::function<void(const QString& folder)> open_folder;
  // Asks for the file the log is saved to; empty when cancelled.
  std::function<std::string()> choose_log_file;
  // Tick or untick every table of the list.
  QPushButton* btn_select_all;
  QPushButton* btn_select_none;
  // Picks a folder outside the data sets' folder the tree opens at.
  QPushButton* btn_browse;
  // Read only: the whole path of the folder chosen in the tree, and the
  // database a run makes from it.
  QLineEdit* folder_edit;
  QLineEdit* database_edit;
  // The tables' column and the log's side, in a scroll area that lets the
  // whole form be reached on a small screen.
  QSplitter* splitter;
  QScrollArea* scroll;
  // Asks whether an earlier database may be replaced; true goes ahead.
  // Replaceable for tests.
  std::function<bool(const ExistingDatabase&)> confirm_replace;
  // Asks for a folder to show in the tree; empty when cancelled.
  std::function<std::string()> choose_folder;
  // Asks the login for a server run when ISC_PASSWORD does not give it;
  // false when the user cancels. Replaceable for tests.
  std::function<bool(ServerDestination&)> ask_login;

  // True while a run, a check or a verify is at work on the worker thread.
  bool busy() const { return worker_.joinable(); }
  // Asked when the form is closed during a run; true stops the run at the
  // next row and leaves the form open with the log (a check or verify:
  // closes the form when it has ended).
  std::function<bool()> confirm_stop;
  // Without asking: stops the work at its next row and closes the form when
  // it has stopped (at once when nothing is at work).
  void stop_and_close();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  // What the worker's controls reported, waiting for the user-interface thread.
  struct Outbox {
    bool clear = false;
    std::vector<std::string> lines;
    std::optional<TableStats> table;
    std::int64_t records_done = 0;  // of every table of the run, with the table's
    bool posted = false;
  };

  void build_widgets();
  void lay_out();
  void bind();
  void fit_to_screen();
  void show_directory();
  // The chosen folder's path and its database in the read-only fields.
  void show_destination();
  void directory_chosen(const QModelIndex& current);
  // Runs a handler of the form; an error it raises is shown in a message box.
  void handle(void (Tconversion_form::*handler)(Sender));
  void guarded(const std::function<void()>& action, const std::string& action_name = "Convert");
  // An error in a box (title, what happened, what to do, details
  // collapsed), and the same text in the log.
  void show_error(std::exception_ptr error, const ProblemContext& context);
  void show_problem(const Problem& p);
  // The details below the log, opened or not.
  void show_details(const std::vector<std::string>& lines, bool open);
  // After a run: its figures per table and where its database is.
  void show_run_summary();
  void convert();
  // The data module's destination from the server fields; false (with the
  // reason shown) when they cannot be used.
  bool choose_destination();
  // The server the fields name, with its login (from the environment, else
  // asked); nothing when they are empty; false (with the reason shown) when
  // they cannot be used or the login is cancelled.
  bool server_from_fields(std::optional<ServerDestination>& server);
  bool server_given() const;  // either server field filled
  void check_tables();
  void verify_tables(const Tconversion_form::VerifyTarget& target, const std::optional<ServerDestination>& server);
  // Verify is offered when the form names a database and nothing is at work.
  void update_verify();
  // Runs `job` on the worker thread with every input control disabled; the
  // state of the core form is shown again when it ends.
  void start_worker(std::function<void()> job);
  void worker_done(std::exception_ptr error);
  void ask_to_stop();
  // Fills the outbox; the user-interface thread empties it at once when it
  // is the caller, else soon.
  void post(const std::function<void(Outbox&)>& fill);
  void flush();
  void show_table(const TableStats& t, std::int64_t all_done);
  // Widgets from the core form: enabled flags, ticks, directory, defaults.
  void sync();
  void set_inputs_enabled(bool on);
  bool on_ui_thread() const;

  std::unique_ptr<MessageBoxes> own_boxes_;
  MessageBoxes* boxes_;
  Tconversion_form form_;
  QFileSystemModel* dirs_ = nullptr;
  LowerCaseProxy* lower_ = nullptr;
  std::vector<QMetaObject::Connection> connections_;
  bool showing_directory_ = false;
  bool keep_in_view_ = false;
  bool activated_ = false;
  bool close_after_run_ = false;
  bool converting_ = false;
  bool person_stopped_ = false;
  QElapsedTimer run_clock_;      // since Convert
  QString finished_text_;        // the bar's text when a check or verify ends
  std::string action_;           // the action at work: "Convert", "Check" or "Verify"
  std::vector<std::string> check_details_;  // every finding of the check at work
  // The records of every ticked old table, from their headers (0: not
  // known); and, on the worker, the tables' records before the one at work.
  std::atomic<std::int64_t> all_records_{0};
  std::string progress_table_;
  std::int64_t records_before_ = 0, progress_old_rows_ = 0;
  int check_start_line_ = -1;    // the log's first line of the check at work  // a stop asked through the close question
  QStyle* style_ = nullptr;      // focus frames and tick boxes that show on lime
  std::mutex outbox_mu_;
  Outbox outbox_;
  std::thread worker_;
};

}  // namespace qv::gui
