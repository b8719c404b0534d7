// The windows' wiring, off screen.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAction>
#include <QProgressBar>
#include <QtTest/QTest>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTreeView>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <future>
#include <memory>
#include <set>
#include <thread>
#include <stdexcept>

#include "datamodule/datamodule.h"
#include "form/recording_boxes.h"
#include "form/stub_steps.h"
#include "gui/conversion_dialog.h"
#include "gui/main_screen.h"
#include "gui/qt_boxes.h"
#include "jobsearch/jobsearch.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "sample_data.h"
#include "support/testsupport.h"

namespace fs = std::filesystem;
using qv::gui::ConversionDialog;
using ::testing::ElementsAre;

namespace {

// One application for all tests, gone before the program's own teardown.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    app_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[10] = "gui_tests";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> app_;
};
[[maybe_unused]] auto* const qt_environment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

std::vector<std::string> log_lines(const ConversionDialog& d) {
  std::vector<std::string> lines;
  for (const QString& l : d.Memo1->toPlainText().split('\n')) lines.push_back(l.toStdString());
  return lines;
}

std::vector<bool> ticks_shown(const ConversionDialog& d) {
  std::vector<bool> t;
  for (int i = 0; i < d.files_checklistbox->count(); ++i)
    t.push_back(d.files_checklistbox->item(i)->checkState() == Qt::Checked);
  return t;
}

class DialogTest : public ::testing::Test {
 protected:
  DialogTest() {
    data_set = drive.root() / "MyData" / "wk-db" / "Quorvel2" / "Db" / "ABCD1234";
    fs::create_directories(data_set);
    std::ofstream(data_set / "quorvel2.db") << "x";
    dialog = std::make_unique<ConversionDialog>(nullptr, &boxes, &steps);
    dialog->show();
  }

  qv::Tconversion_form& form() { return dialog->form(); }

  // Clicks and lets the run (or check) on the worker thread end.
  void click_and_wait(QPushButton* b) {
    b->click();
    while (dialog->busy()) QApplication::processEvents(QEventLoop::AllEvents, 20);
  }

  void accept_data_set() {
    form().CDirectoryOutline_Source.SetDirectory(data_set.string());
    dialog->btn_select_directory->click();
    ASSERT_TRUE(boxes.shown.empty());
  }

  // A run whose builder and converters only write a line each.
  void stub_run() {
    steps.on_create_database = [this](const std::string& dbname) {
      form().Memo1.Clear();
      form().Memo1.Add("Attempting to create database " + qv::Tconversion_form::destination_file(dbname));
      return true;
    };
    steps.on_convert = [this](std::size_t i, const std::string&) {
      form().Memo1.Add(std::string(qv::registry::items()[i].item) + " converted");
    };
  }

  qv::test::DriveC drive;
  fs::path data_set;
  qv::test::RecordingBoxes boxes;
  qv::test::StubSteps steps;
  std::unique_ptr<ConversionDialog> dialog;
};

QRect in(const QWidget* w, const QWidget* top) { return QRect(w->mapTo(top, QPoint(0, 0)), w->size()); }

TEST_F(DialogTest, LooksAsDesignedAndFitsTheScreen) {
  // The design size, within the screen's room (the off-screen screen is 800 wide).
  const QSize room = dialog->screen()->availableGeometry().size();
  EXPECT_EQ(dialog->size(), QSize(963, 502).boundedTo(room - QSize(16, 40)));
  EXPECT_TRUE(dialog->windowTitle().isEmpty());
  const QWidget* d = dialog.get();
  const QRect tree = in(dialog->CDirectoryOutline_Source, d), list = in(dialog->files_checklistbox, d);
  const QRect log = in(dialog->Memo1, d), edit = in(dialog->Edit1, d), bar = in(dialog->progress, d);
  EXPECT_LT(tree.bottom(), in(dialog->btn_select_directory, d).top());
  EXPECT_LT(in(dialog->btn_reset, d).bottom(), list.top());
  EXPECT_LT(list.bottom(), in(dialog->btn_convert, d).top());
  EXPECT_LT(in(dialog->btn_convert, d).right(), edit.left());
  // The bar along the bottom, below the form's own controls.
  EXPECT_LT(std::max(log.bottom(), edit.bottom()), bar.top());
  EXPECT_LT(tree.right(), log.left());
  EXPECT_EQ(tree.width(), list.width());
  // A larger window widens both sides, the log most, and heightens both.
  const QSize before = dialog->Memo1->size(), tree_before = dialog->CDirectoryOutline_Source->size();
  dialog->resize(dialog->size() + QSize(300, 200));
  QApplication::processEvents();
  EXPECT_GT(dialog->CDirectoryOutline_Source->width(), tree_before.width());
  EXPECT_GT(dialog->Memo1->width() - before.width(), dialog->CDirectoryOutline_Source->width() - tree_before.width());
  EXPECT_EQ(dialog->Memo1->height(), before.height() + 200);
  EXPECT_GT(dialog->CDirectoryOutline_Source->height(), tree_before.height());
  EXPECT_EQ(dialog->Memo1->font().pixelSize(), 13);
  EXPECT_TRUE(dialog->Memo1->isReadOnly());
  EXPECT_TRUE(dialog->Edit1->isReadOnly());
  EXPECT_EQ(dialog->Edit1->text(), "Edit1");
  for (QLabel* l : {dialog->Label1, dialog->Label2, dialog->Label3}) {
    EXPECT_TRUE(l->font().bold() && l->font().underline()) << l->text().toStdString();
  }
  EXPECT_EQ(dialog->Label1->text(), "STEP 01 - SELECT OLD TABLE LOCATION");
  EXPECT_EQ(dialog->btn_select_directory->text(), "&Select This Directory - >>>>");
  ASSERT_EQ(dialog->files_checklistbox->count(), 18);
  EXPECT_EQ(dialog->files_checklistbox->item(17)->text(), "time10.db");

  // The form's own controls in their order, then the ones added beside them.
  QWidget* order[] = {dialog->CDirectoryOutline_Source, dialog->files_checklistbox, dialog->btn_select_directory,
                      dialog->btn_reset,                dialog->Memo1,              dialog->btn_convert,
                      dialog->Edit1,                    dialog->btn_check,          dialog->btn_verify,
                      dialog->server_edit,              dialog->server_dir_edit,    dialog->btn_browse,
                      dialog->btn_select_all,           dialog->btn_select_none,    dialog->folder_edit,
                      dialog->database_edit,            dialog->btn_save_log};
  // Tab visits them in this order (scroll areas bring parts of their own).
  std::vector<QWidget*> visited{order[0]};
  for (QWidget* w = order[0]->nextInFocusChain(); w != order[0]; w = w->nextInFocusChain())
    if (std::find(std::begin(order), std::end(order), w) != std::end(order)) visited.push_back(w);
  EXPECT_TRUE(std::equal(visited.begin(), visited.end(), std::begin(order), std::end(order)));

  // Every button has its access key, each its own.
  std::set<QChar> keys;
  for (QPushButton* b : dialog->findChildren<QPushButton*>()) {
    const qsizetype amp = b->text().indexOf('&');
    ASSERT_GE(amp, 0) << b->text().toStdString();
    EXPECT_TRUE(keys.insert(b->text()[amp + 1].toLower()).second) << b->text().toStdString();
  }
  // Names for screen readers; the tree reports its one column.
  for (QWidget* w : std::initializer_list<QWidget*>{dialog.get(), dialog->CDirectoryOutline_Source,
                                                    dialog->files_checklistbox, dialog->Memo1, dialog->progress,
                                                    dialog->Edit1})
    EXPECT_FALSE(w->accessibleName().isEmpty()) << w->objectName().toStdString();
  EXPECT_EQ(dialog->CDirectoryOutline_Source->model()->columnCount(), 1);
}

// Names are readable in full: the tree opens at the data sets' folder,
// its column takes the names' width, each name has the whole path as its
// tooltip, and the chosen folder and its database are shown whole.
TEST_F(DialogTest, FolderNamesAndTheDestinationAreShownWhole) {
  const fs::path sets = data_set.parent_path();
  const std::string long_name = "clientA_2019_the_records_of_a_long_named_data_set";
  fs::create_directories(sets / long_name);
  const QTreeView* tree = dialog->CDirectoryOutline_Source;
  EXPECT_EQ(fs::path(dialog->folder_edit->text().toStdString()), "C:\\MyData\\wk-db\\Quorvel2\\Db\\");
  form().CDirectoryOutline_Source.SetDirectory((sets / long_name).string());
  EXPECT_EQ(tree->rootIndex().data(Qt::ToolTipRole).toString(), "c:\\mydata\\wk-db\\quorvel2\\db");
  const QModelIndex shown = tree->currentIndex();
  ASSERT_TRUE(shown.isValid());
  EXPECT_EQ(shown.parent(), tree->rootIndex());
  EXPECT_EQ(shown.data().toString().toStdString(), qv::platform::ascii_lower(long_name));
  EXPECT_EQ(shown.data(Qt::ToolTipRole).toString().toStdString(),
            "c:\\mydata\\wk-db\\quorvel2\\db\\" + qv::platform::ascii_lower(long_name));
  EXPECT_EQ(dialog->folder_edit->text().toStdString(), "C:\\MyData\\wk-db\\Quorvel2\\Db\\" + long_name);
  EXPECT_TRUE(dialog->folder_edit->isReadOnly());
  EXPECT_EQ(dialog->database_edit->text(), "C:\\MyData\\wk-db\\intrbase\\quorvel4\\db\\clienta_.gdb");
  dialog->server_edit->setText("db.example");
  dialog->server_dir_edit->setText("/srv/firebird");
  EXPECT_EQ(dialog->database_edit->text(), "db.example:/srv/firebird/clienta_.gdb");
  // A folder outside the data sets' folder: the tree opens at C:\ then.
  dialog->choose_folder = [&] { return (drive.root() / "MyData").string(); };
  dialog->btn_browse->click();
  EXPECT_EQ(tree->rootIndex().data().toString(), "c:\\");
  EXPECT_EQ(tree->currentIndex().data().toString(), "mydata");
}

// Convert over an earlier database asks first; Cancel (the default) leaves
// the file as it was and starts nothing.
TEST_F(DialogTest, ReplacingADatabaseAsksFirst) {
  stub_run();
  const fs::path db = qv::platform::map_path(qv::Tconversion_form::destination_file("abcd1234"));
  fs::create_directories(db.parent_path());
  std::ofstream(db) << "entered since";
  accept_data_set();
  form().Memo1.Add("kept");
  std::vector<std::string> asked;
  bool answer = false;
  dialog->confirm_replace = [&](const qv::ExistingDatabase& e) {
    asked.push_back(e.file);
    return answer;
  };
  click_and_wait(dialog->btn_convert);
  EXPECT_THAT(asked, ElementsAre(qv::Tconversion_form::destination_file("abcd1234")));
  EXPECT_EQ(qv::test::slurp(db), "entered since");
  EXPECT_THAT(log_lines(*dialog), ElementsAre("kept"));
  EXPECT_TRUE(dialog->btn_convert->isEnabled());
  answer = true;
  click_and_wait(dialog->btn_convert);
  EXPECT_EQ(asked.size(), 2u);
  EXPECT_EQ(log_lines(*dialog)[log_lines(*dialog).size() - 2], "Conversion run complete");
}

TEST_F(DialogTest, ShowingActivatesTheFormOnce) {
  EXPECT_TRUE(dialog->Memo1->toPlainText().isEmpty());
  // The tree opens at the data sets' folder, nothing chosen in it yet.
  EXPECT_EQ(dialog->CDirectoryOutline_Source->rootIndex().data().toString(), "db");
  EXPECT_FALSE(dialog->CDirectoryOutline_Source->currentIndex().isValid());
  EXPECT_FALSE(dialog->files_checklistbox->isEnabled());
  EXPECT_FALSE(dialog->btn_reset->isEnabled());
  EXPECT_FALSE(dialog->btn_convert->isEnabled());
  EXPECT_TRUE(dialog->btn_select_directory->isEnabled());
  EXPECT_FALSE(dialog->Label2->isEnabled());
  form().Memo1.Add("kept");
  dialog->hide();
  dialog->show();
  EXPECT_EQ(dialog->Memo1->toPlainText(), "kept");
}

TEST_F(DialogTest, TreeAndFormAgreeOnTheDirectory) {
  form().CDirectoryOutline_Source.SetDirectory("C:\\MyData\\wk-db\\Quorvel2\\Db\\abcd1234");
  const QPersistentModelIndex shown = dialog->CDirectoryOutline_Source->currentIndex();
  ASSERT_TRUE(shown.isValid());
  EXPECT_EQ(shown.data().toString(), "abcd1234");  // the folder is ABCD1234
  EXPECT_EQ(shown.parent(), dialog->CDirectoryOutline_Source->rootIndex());

  // The user moves to another folder in the tree.
  fs::create_directories(data_set.parent_path() / "other");
  form().CDirectoryOutline_Source.SetDirectory((data_set.parent_path() / "other").string());
  dialog->CDirectoryOutline_Source->setCurrentIndex(shown);
  EXPECT_EQ(fs::path(form().CDirectoryOutline_Source.Directory), data_set);
}

TEST_F(DialogTest, ButtonsDriveTheHandlers) {
  dialog->btn_select_directory->click();  // the default folder holds no data set
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "Doesn't appear to be a valid directory");
  EXPECT_EQ(boxes.shown[0].caption, "DIRECTORY SELECT");
  boxes.shown.clear();

  accept_data_set();
  EXPECT_TRUE(dialog->files_checklistbox->isEnabled());
  EXPECT_FALSE(dialog->CDirectoryOutline_Source->isEnabled());
  EXPECT_EQ(ticks_shown(*dialog), std::vector<bool>(18, true));

  // Unticking in the list reaches the form.
  dialog->files_checklistbox->item(3)->setCheckState(Qt::Unchecked);
  EXPECT_FALSE(form().files_checklistbox.Checked[3]);

  dialog->btn_reset->click();
  EXPECT_EQ(ticks_shown(*dialog), std::vector<bool>(18, false));
  EXPECT_FALSE(dialog->btn_reset->isEnabled());
  EXPECT_TRUE(dialog->CDirectoryOutline_Source->isEnabled());

  accept_data_set();
  for (int i = 0; i < 18; ++i) dialog->files_checklistbox->item(i)->setCheckState(Qt::Unchecked);
  click_and_wait(dialog->btn_convert);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "No tables selected");
  boxes.shown.clear();

  // Another run holds the temporary folder: one box says so, and the run is
  // shown as not started (no earlier database "not replaced").
  qv::platform::force_directories(form().temp_directory());
  const qv::platform::FolderLock other_run(form().temp_directory());
  ASSERT_TRUE(other_run.held());
  dialog->btn_select_all->click();
  click_and_wait(dialog->btn_convert);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, qv::jobsearch::temp_folder_in_use(form()));
  EXPECT_EQ(dialog->progress->text().toStdString(), "Not started: nothing was done");
  EXPECT_FALSE(dialog->Memo1->toPlainText().contains("not replaced"));
}

TEST_F(DialogTest, RunFillsTheLogAndAnErrorIsShown) {
  stub_run();
  accept_data_set();
  click_and_wait(dialog->btn_convert);
  std::vector<std::string> lines = log_lines(*dialog);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 2], "Conversion run complete");
  EXPECT_EQ(ticks_shown(*dialog), std::vector<bool>(18, false));
  EXPECT_TRUE(boxes.shown.empty());

  steps.on_convert = [](std::size_t, const std::string&) { throw std::runtime_error("carrier.db: broken"); };
  accept_data_set();
  click_and_wait(dialog->btn_convert);
  // A plain title, what happened, what to do; the error's own text collapsed.
  ASSERT_EQ(boxes.problems.size(), 1u);
  const qv::Problem& p = boxes.problems[0];
  EXPECT_EQ(p.title, "Conversion stopped");
  EXPECT_EQ(p.what, "The run stopped on an error at CARRIER_4.");
  EXPECT_THAT(p.todo, ::testing::HasSubstr("Save log"));
  EXPECT_THAT(p.details, ::testing::HasSubstr("carrier.db: broken"));
  // The log: the run's own last line, then the box's text.
  lines = log_lines(*dialog);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3],
            "The run stopped on an error at CARRIER_4: the database holds the rows written until then.");
  EXPECT_EQ(lines[lines.size() - 2], "Conversion stopped: The run stopped on an error at CARRIER_4.");
  EXPECT_EQ(lines.back(), "What to do: " + p.todo);
  // The state of a run that ended early: the list, Reset and Convert are enabled.
  EXPECT_TRUE(dialog->btn_reset->isEnabled());
  EXPECT_TRUE(dialog->btn_convert->isEnabled());
  EXPECT_TRUE(dialog->files_checklistbox->isEnabled());
  EXPECT_FALSE(dialog->CDirectoryOutline_Source->isEnabled());
}

// Save log writes the log as shown; a file that cannot be written is named
// in an error box, with what to do.
TEST_F(DialogTest, SaveLogWritesTheLogOrSaysWhy) {
  form().Memo1.Add("first line");
  form().Memo1.Add("Total: \xc3\xa9");
  const fs::path file = drive.root() / "log.txt";
  dialog->choose_log_file = [&] { return file.string(); };
  dialog->btn_save_log->click();
  EXPECT_EQ(qv::test::slurp(file), "first line\nTotal: \xc3\xa9\n");
  EXPECT_TRUE(boxes.shown.empty());
  dialog->choose_log_file = [&] { return drive.root().string(); };  // a folder
  dialog->btn_save_log->click();
  ASSERT_EQ(boxes.problems.size(), 1u);
  EXPECT_EQ(boxes.problems[0].title, "Log not saved");
  EXPECT_EQ(boxes.problems[0].todo, "Choose another file or folder.");
  EXPECT_FALSE(boxes.problems[0].details.empty());
  dialog->choose_log_file = [] { return std::string(); };  // cancelled
  dialog->btn_save_log->click();
  EXPECT_EQ(boxes.shown.size(), 1u);
}

// The enabled flags of every widget, in creation order.
std::vector<bool> enabled_state(const ConversionDialog& d) {
  std::vector<bool> on;
  for (QWidget* w : d.findChildren<QWidget*>()) on.push_back(w->isEnabled());
  return on;
}

TEST_F(DialogTest, CheckLogsTheFindingsAndChangesNothingElse) {
  EXPECT_EQ(dialog->btn_check->text(), "C&heck");
  EXPECT_FALSE(dialog->btn_check->isEnabled());
  accept_data_set();  // quorvel2.db is no table, the others are missing
  EXPECT_TRUE(dialog->btn_check->isEnabled());
  dialog->files_checklistbox->item(7)->setCheckState(Qt::Unchecked);  // quorvel2.db
  const std::vector<bool> ticks = ticks_shown(*dialog);
  const std::vector<bool> enabled = enabled_state(*dialog);
  form().Memo1.Add("kept");

  click_and_wait(dialog->btn_check);
  EXPECT_TRUE(boxes.shown.empty());
  const std::vector<std::string> lines = log_lines(*dialog);
  // The first ten findings in the log, every one under the details.
  ASSERT_EQ(lines.size(), 1u + 3u + 1u + 10u + 2u + 1u) << dialog->Memo1->toPlainText().toStdString();
  EXPECT_EQ(lines[0], "kept");
  EXPECT_EQ(lines[2], "Checking the ticked tables of C:\\MyData\\wk-db\\Quorvel2\\Db\\ABCD1234");
  EXPECT_EQ(lines[4], "Verdict: the run would stop (17 findings below).");
  EXPECT_THAT(lines[5], ::testing::StartsWith("CARRIER.db - missing table"));
  // The verdict is in view, not the end of the details.
  EXPECT_LE(dialog->Memo1->verticalScrollBar()->value(), 1);
  EXPECT_EQ(lines[lines.size() - 2], "missing table: 17 (stops the run)");
  EXPECT_EQ(lines.back(), "Every finding (17) is under Details, below the log.");
  EXPECT_EQ(dialog->details->toPlainText().split('\n').size(), 17);
  EXPECT_EQ(dialog->btn_details->text(), "&Details (17 lines)");
  EXPECT_FALSE(dialog->details->isVisible());  // collapsed until asked for
  dialog->btn_details->click();
  EXPECT_TRUE(dialog->details->isVisible());
  EXPECT_EQ(form().Memo1.Lines, lines);
  EXPECT_EQ(ticks_shown(*dialog), ticks);
  EXPECT_EQ(enabled_state(*dialog), enabled);
  EXPECT_EQ(fs::path(form().CDirectoryOutline_Source.Directory), data_set);
  EXPECT_FALSE(fs::exists(drive.root() / "MyData" / "wk-db" / "intrbase"));  // no database

  // Nothing ticked: Check says what Convert would say.
  for (int i = 0; i < 18; ++i) dialog->files_checklistbox->item(i)->setCheckState(Qt::Unchecked);
  click_and_wait(dialog->btn_check);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "No tables selected");
  EXPECT_EQ(log_lines(*dialog), lines);

  dialog->btn_reset->click();
  EXPECT_FALSE(dialog->btn_check->isEnabled());
}

// Verify after a real run of one table: offered once the database exists,
// off while it works, its report after the run's lines.
TEST_F(DialogTest, VerifyAfterARunLogsItsReport) {
  qv::DataModuleScope module;
  qv::sample::write_data_set(data_set, {.rows = 20, .jobs = 10});
  steps.on_create_database = [this](const std::string& dbname) {
    return form().check_and_create_database_4(&form(), dbname);
  };
  steps.on_convert = [this](std::size_t i, const std::string& dbname) { form().run_converter(i, dbname); };
  EXPECT_EQ(dialog->btn_verify->text(), "&Verify");
  EXPECT_FALSE(dialog->btn_verify->isEnabled());  // the default folder names no database
  accept_data_set();
  EXPECT_FALSE(dialog->btn_verify->isEnabled());  // not made yet
  for (int i = 1; i < 18; ++i) dialog->files_checklistbox->item(i)->setCheckState(Qt::Unchecked);
  click_and_wait(dialog->btn_convert);
  ASSERT_TRUE(boxes.shown.empty());
  const std::size_t run_lines = log_lines(*dialog).size();
  ASSERT_EQ(log_lines(*dialog)[run_lines - 2], "Conversion run complete");
  EXPECT_TRUE(dialog->btn_verify->isEnabled());  // after the run, on its folder and table
  // The figures per table and the database's folder, with a way to open it;
  // the log, made smaller for them, still shows its last line.
  EXPECT_TRUE(dialog->details->isVisible());
  QApplication::processEvents();
  QScrollBar* log_bar = dialog->Memo1->verticalScrollBar();
  EXPECT_GT(log_bar->maximum(), 0);
  EXPECT_EQ(log_bar->value(), log_bar->maximum());
  const QString summary = dialog->details->toPlainText();
  EXPECT_TRUE(summary.contains("Database: C:\\MyData\\wk-db\\intrbase\\quorvel4\\db\\abcd1234.gdb")) << summary.toStdString();
  EXPECT_TRUE(summary.contains(QRegularExpression("\\nCARRIER_4: \\d+ old rows, \\d+ new rows\\n    skipped \\(a blank "
                                                  "CARRIER\\): \\d+\\n")))
      << summary.toStdString();
  QString opened;
  dialog->open_folder = [&opened](const QString& folder) { opened = folder; };
  ASSERT_TRUE(dialog->btn_open_folder->isEnabled());
  dialog->btn_open_folder->click();
  EXPECT_EQ(fs::path(opened.toStdString()),
            qv::platform::map_path(qv::Tconversion_form::destination_file("abcd1234")).parent_path());

  dialog->btn_verify->click();
  EXPECT_TRUE(dialog->busy());
  for (QPushButton* b : {dialog->btn_verify, dialog->btn_convert, dialog->btn_select_directory})
    EXPECT_FALSE(b->isEnabled()) << b->objectName().toStdString();
  while (dialog->busy()) QApplication::processEvents(QEventLoop::AllEvents, 20);
  ASSERT_TRUE(boxes.shown.empty()) << boxes.shown[0].text;
  const std::vector<std::string> lines = log_lines(*dialog);
  ASSERT_EQ(lines.size(), run_lines + 6) << dialog->Memo1->toPlainText().toStdString();
  EXPECT_THAT(lines[run_lines + 1], ::testing::StartsWith("Verifying "));
  EXPECT_EQ(lines[run_lines + 3], "Structure: as a run makes it");
  EXPECT_THAT(lines[run_lines + 4], ::testing::StartsWith("CARRIER_4 "));
  EXPECT_THAT(lines.back(), ::testing::StartsWith("Total: 1 tables, expected "));
  EXPECT_THAT(lines.back(), ::testing::EndsWith("missing 0, extra 0, differing values 0: every value arrived"));
  EXPECT_EQ(log_bar->value(), log_bar->maximum());  // the verdict in view
  EXPECT_TRUE(dialog->btn_verify->isEnabled());

  // A database that cannot be read: the error is shown, the log keeps its lines.
  fs::resize_file(qv::platform::map_path(qv::Tconversion_form::destination_file("abcd1234")), 100);
  click_and_wait(dialog->btn_verify);
  ASSERT_EQ(boxes.problems.size(), 1u);
  EXPECT_EQ(boxes.problems[0].title, "Verify failed") << boxes.problems[0].details;
  EXPECT_THAT(boxes.problems[0].todo, ::testing::HasSubstr("press Verify again"));
  std::vector<std::string> with_box = lines;
  for (std::string& line : qv::problem_log_lines(boxes.problems[0])) with_box.push_back(line);
  EXPECT_EQ(log_lines(*dialog), with_box);

  // With the server fields filled Verify reads the server's database, with
  // a run's login: a cancelled login verifies nothing.
  const bool login_in_environment = std::getenv("ISC_PASSWORD") != nullptr;
  int asked = 0;
  dialog->ask_login = [&asked](qv::ServerDestination& d) {
    d.server.password = "x";
    return ++asked > 1;
  };
  dialog->server_edit->setText("127.0.0.1/1");
  dialog->server_dir_edit->setText("/srv/firebird");
  EXPECT_TRUE(dialog->btn_verify->isEnabled());
  if (!login_in_environment) {
    dialog->btn_verify->click();
    EXPECT_FALSE(dialog->busy());
    EXPECT_EQ(asked, 1);
  }
  click_and_wait(dialog->btn_verify);
  ASSERT_EQ(boxes.problems.size(), 2u);
  EXPECT_EQ(boxes.problems[1].title, "Server not reached");
  EXPECT_THAT(boxes.problems[1].details, ::testing::HasSubstr("Database server 127.0.0.1/1: "));
}

TEST_F(DialogTest, PictureAfterARun) {
  stub_run();
  accept_data_set();
  click_and_wait(dialog->btn_convert);
  QApplication::processEvents();
  const QPixmap picture = dialog->grab();
  EXPECT_EQ(picture.size(), dialog->size());
  // QV_SCREENSHOT=path keeps the picture.
  if (const QByteArray out = qgetenv("QV_SCREENSHOT"); !out.isEmpty()) {
    EXPECT_TRUE(picture.save(QString(out)));
  }
}

// A run on the worker thread: the click returns at once, every input waits,
// the window keeps answering, and the end applies the state of the finished
// run. Each row waits until the window's thread has run a call the worker
// posted to it; a window that waited on the run would never run it.
TEST_F(DialogTest, RunOnAWorkerKeepsTheWindowAnswering) {
  stub_run();
  int answered = 0;  // touched on the window's thread only
  bool progress_seen = false;
  int disagreed = 0;  // the count box and the bar naming different counts
  std::atomic<bool> unanswered{false};
  steps.on_convert = [&](std::size_t i, const std::string&) {
    qv::TableStats& t = form().begin_table(qv::Tconversion_form::destination_table(i), 20);
    for (int row = 1; row <= 20 && !unanswered; ++row) {
      t.done = row;
      // The job-search table's own count runs one ahead of the records done.
      form().show_record_count(row + 1);
      form().table_progress(row == 20);
      auto ran = std::make_shared<std::promise<void>>();
      QMetaObject::invokeMethod(
          dialog.get(),
          [&, ran] {
            answered += dialog->busy();
            progress_seen |= dialog->progress->text().contains(" of 20 records, copying rows");
            const QString count = dialog->Edit1->text();
            disagreed += !dialog->progress->toolTip().contains(": " + count + " of 20 records");
            ran->set_value();
          },
          Qt::QueuedConnection);
      // A safety net only: the call runs as soon as the window's loop turns.
      unanswered = ran->get_future().wait_for(std::chrono::minutes(2)) != std::future_status::ready;
    }
    form().Memo1.Add(std::string(qv::registry::items()[i].item) + " converted");
  };
  accept_data_set();
  EXPECT_EQ(dialog->Edit1->text(), "Edit1");  // its own text before a run
  dialog->btn_convert->click();
  ASSERT_TRUE(dialog->busy()) << "the click waited for the run";
  for (QWidget* w : std::initializer_list<QWidget*>{dialog->CDirectoryOutline_Source, dialog->files_checklistbox,
                                                    dialog->btn_select_directory, dialog->btn_reset,
                                                    dialog->btn_convert, dialog->btn_check})
    EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
  EXPECT_TRUE(dialog->Memo1->isEnabled());
  while (dialog->busy()) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
  EXPECT_FALSE(unanswered);
  EXPECT_EQ(answered, 18 * 20);
  EXPECT_TRUE(progress_seen);
  EXPECT_EQ(disagreed, 0);
  EXPECT_EQ(dialog->Edit1->text(), "20");
  EXPECT_EQ(dialog->progress->text(), "Conversion run complete");
  EXPECT_EQ(log_lines(*dialog)[log_lines(*dialog).size() - 2], "Conversion run complete");
  EXPECT_TRUE(dialog->CDirectoryOutline_Source->isEnabled());  // back to the first step
  EXPECT_TRUE(dialog->btn_select_directory->isEnabled());
  EXPECT_FALSE(dialog->btn_convert->isEnabled());
  EXPECT_EQ(dialog->focusWidget(), dialog->CDirectoryOutline_Source);
}

// Closing during a run asks; yes stops the run at the next row and leaves
// the form open with the log, a line that the database is incomplete, and
// Convert offered again. Outside a run, Escape closes at once.
TEST_F(DialogTest, ClosingDuringARunAsksThenStops) {
  stub_run();
  std::atomic<int> rows{0};
  steps.on_convert = [&](std::size_t i, const std::string&) {
    form().begin_table(qv::Tconversion_form::destination_table(i), 1000);
    for (int row = 1; row <= 1000; ++row) {
      // The 50th row waits for the stop asked for below, so it comes mid-run.
      while (rows == 50 && !form().stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      ++rows;
      form().table_progress();
    }
  };
  accept_data_set();
  int asked = 0;
  bool answer = false;
  dialog->confirm_stop = [&] {
    ++asked;
    return answer;
  };
  dialog->btn_convert->click();
  while (rows < 50) QApplication::processEvents(QEventLoop::AllEvents, 5);
  QTest::keyClick(dialog.get(), Qt::Key_Escape);  // answered no
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(dialog->isVisible());
  answer = true;
  dialog->close();
  EXPECT_EQ(asked, 2);
  // The bar may not have shown a count yet (then text() is empty): its tooltip
  // holds the whole text.
  EXPECT_EQ(dialog->progress->toolTip(), "Stopping at the next row...");
  while (dialog->busy()) QApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_LT(rows, 18 * 1000);
  EXPECT_TRUE(form().last_run_stopped);
  const std::vector<std::string> lines = log_lines(*dialog);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_THAT(lines[lines.size() - 2],
              ::testing::MatchesRegex("The run was stopped at [A-Z_0-9]+: the database holds the rows written "
                                      "until then\\."));
  EXPECT_EQ(lines.back(), qv::Tconversion_form::kIncompleteLine);
  EXPECT_TRUE(dialog->btn_convert->isEnabled());
  EXPECT_FALSE(form().stop_requested());  // the next run goes ahead

  QTest::keyClick(dialog.get(), Qt::Key_Escape);
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(asked, 2);
}

// The session ending (SIGTERM) during a run: the desktop program stops the
// run at its next row without asking, as closing the form would, then
// quits; the engine is not shut down under the run's feet, and the database
// holds what was written. The signal comes through `timeout`, which sends it
// to the program and again to its process group: one request all the same.
TEST(DesktopProgram, ASignalStopsTheRunThenQuits) {
  const qv::test::DriveC drive;
  const fs::path data = drive.root() / "MyData" / "wk-db" / "Quorvel2" / "Db" / "sig00001";
  qv::sample::Options o;
  o.jobs = 100000;
  qv::sample::write_data_set(data, o);
  const fs::path script = drive.root() / "stop.sh", log = drive.root() / "log";
  std::ofstream(script) << "R=\"$1\"\n"
                        << "QT_QPA_PLATFORM=offscreen timeout 300 \"$2/quorvel-migrate\" --screenshot \"$R/shot.png\" "
                           "--drive-c \"$R\" \"$3\" >\"$R/log\" 2>&1 &\n"
                           "p=$!\n"
                           "while ! ls \"$R\"/MyData/wk-db/intrbase/*/temp/2-js.db >/dev/null 2>&1 && kill -0 $p "
                           "2>/dev/null; do sleep 0.05; done\n"
                           "kill -TERM $p\n"
                           "wait $p\n";
  const std::string root = drive.root().string();
  const int status = std::system(("bash '" + script.string() + "' '" + root + "' '" QV_BIN_DIR "' '" +
                                  data.string() + "'").c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 143) << qv::test::slurp(log);
  EXPECT_THAT(qv::test::slurp(log), ::testing::Not(::testing::HasSubstr("shutdown")));
  const std::string verify = "'" QV_BIN_DIR "/quorvel-migrate-cli' --verify --tables carrier.db,city.db --drive-c '" +
                             root + "' '" + data.string() + "' >'" + log.string() + "' 2>&1";
  EXPECT_EQ(std::system(verify.c_str()), 0) << qv::test::slurp(log);
}

// Enter presses the focused or default button; focus follows the steps.
TEST_F(DialogTest, KeyboardFollowsTheSteps) {
  dialog->activateWindow();
  form().CDirectoryOutline_Source.SetDirectory(data_set.string());
  dialog->CDirectoryOutline_Source->setFocus();
  QTest::keyClick(dialog->CDirectoryOutline_Source, Qt::Key_Return);  // the default: select
  ASSERT_TRUE(boxes.shown.empty());
  EXPECT_TRUE(dialog->files_checklistbox->isEnabled());
  EXPECT_EQ(dialog->focusWidget(), dialog->files_checklistbox);
  EXPECT_TRUE(dialog->btn_convert->isDefault());
  dialog->btn_reset->setFocus();
  QTest::keyClick(dialog->btn_reset, Qt::Key_Return);  // the focused button
  EXPECT_TRUE(dialog->CDirectoryOutline_Source->isEnabled());
  EXPECT_EQ(dialog->focusWidget(), dialog->CDirectoryOutline_Source);
}

// WCAG contrast of two colours (1 to 21).
double contrast(const QColor& a, const QColor& b) {
  auto luminance = [](const QColor& c) {
    auto channel = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
  };
  const double la = luminance(a), lb = luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

TEST_F(DialogTest, TextReachesAaContrastInEveryState) {
  const QColor lime(0x00, 0xff, 0x00);
  for (QWidget* w : std::initializer_list<QWidget*>{dialog->CDirectoryOutline_Source, dialog->files_checklistbox,
                                                    dialog->Memo1}) {
    const QPalette& p = w->palette();
    EXPECT_EQ(p.color(QPalette::Active, QPalette::Base), lime);
    EXPECT_EQ(p.color(QPalette::Disabled, QPalette::Base), lime);
    for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Disabled}) {
      const double r = contrast(p.color(g, QPalette::Text), p.color(g, QPalette::Base));
      std::printf("%s text, group %d: %.2f:1\n", w->objectName().toLatin1().constData(), g, r);
      EXPECT_GE(r, 4.5) << w->objectName().toStdString() << " group " << g;
    }
  }
  for (QLabel* l : {dialog->Label1, dialog->Label2, dialog->Label3}) {
    const QColor red = l->palette().color(QPalette::Active, QPalette::WindowText);
    EXPECT_GT(red.red(), 3 * std::max(red.green(), red.blue()));  // still red
    for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Disabled})
      for (const QColor& behind : {dialog->palette().color(g, QPalette::Window), lime}) {
        const double r = contrast(l->palette().color(g, QPalette::WindowText), behind);
        std::printf("%s on %s, group %d: %.2f:1\n", l->objectName().toLatin1().constData(),
                    behind.name().toLatin1().constData(), g, r);
        EXPECT_GE(r, 4.5) << l->objectName().toStdString() << " group " << g;
      }
  }
}

// A box's lines break at spaces only: each line fits the width unless it is
// one word, and putting the spaces back gives the text, its path whole.
TEST(MessageBoxLines, BreakAtSpacesOnly) {
  const QFontMetrics metrics{QFont()};
  const QString path = "C:\\MyData\\wk-db\\intrbase\\quorvel4\\db\\good0001.gdb";
  const QString text = "The database " + path + " is open in another program, so it cannot be replaced.\nSecond.";
  for (int chars : {5, 30, 60, 400}) {
    const int width = metrics.averageCharWidth() * chars;
    const QString broken = qv::gui::broken_at_spaces(text, metrics, width);
    QStringList lines = broken.split('\n');
    EXPECT_EQ(lines.last(), "Second.") << chars;
    lines.removeLast();
    EXPECT_EQ(lines.join(' '), text.section('\n', 0, 0)) << chars;
    for (const QString& line : lines)
      EXPECT_TRUE(!line.contains(' ') || metrics.horizontalAdvance(line) <= width) << line.toStdString();
    EXPECT_EQ(lines.size() == 1, chars == 400);
  }
}

class MainScreenTest : public ::testing::Test {
 protected:
  qv::test::RecordingBoxes boxes;
};

TEST_F(MainScreenTest, WindowPictureAndMenu) {
  qv::gui::Tmain_screen main(&boxes);
  EXPECT_EQ(main.objectName(), "main_screen");
  EXPECT_EQ(main.size(), QSize(542, 286).boundedTo(main.screen()->availableGeometry().size() - QSize(16, 40)));
  EXPECT_FALSE(main.accessibleName().isEmpty());
  EXPECT_FALSE(main.Image1->accessibleName().isEmpty());
  EXPECT_TRUE(main.windowTitle().isEmpty());
  ASSERT_NE(main.Image1->pixmap().isNull(), true);
  EXPECT_EQ(main.Image1->pixmap().deviceIndependentSize(), QSizeF(534, 236));
  EXPECT_EQ(qv::gui::main_picture(2).size(), QSize(1068, 472));  // drawn, not scaled, at 2x
  std::vector<std::string> entries;
  for (QAction* a : main.menuBar()->actions()) {
    entries.push_back(a->text().remove('&').toStdString());
    EXPECT_EQ(a->menu(), nullptr);
  }
  EXPECT_THAT(entries, ElementsAre("Exit", "Conversion"));

  main.show();
  main.Exit1->trigger();
  EXPECT_FALSE(main.isVisible());
}

TEST_F(MainScreenTest, AltCOpensConversion) {
  qv::gui::Tmain_screen main(&boxes);
  main.show();
  main.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&main));
  int opened = 0;
  main.show_modal = [&](ConversionDialog&) { ++opened; };
  QTest::keyClick(&main, Qt::Key_C, Qt::AltModifier);
  EXPECT_EQ(opened, 1);
}

TEST_F(MainScreenTest, ConversionOpensAFreshModalFormEachTime) {
  qv::gui::Tmain_screen main(&boxes);
  main.show();
  std::vector<QPointer<ConversionDialog>> opened;
  main.show_modal = [&](ConversionDialog& form) {
    EXPECT_TRUE(form.isModal());
    EXPECT_EQ(form.parent(), &main);
    form.show();
    EXPECT_TRUE(form.Memo1->toPlainText().isEmpty());
    EXPECT_EQ(ticks_shown(form), std::vector<bool>(18, false));
    EXPECT_FALSE(form.btn_convert->isEnabled());
    form.form().Memo1.Add("left behind");
    form.form().files_checklistbox.SetChecked(0, true);
    opened.emplace_back(&form);
    form.close();
  };
  main.Conversion1->trigger();
  main.Conversion1->trigger();
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_TRUE(opened[0].isNull());  // destroyed when closed
  EXPECT_TRUE(opened[1].isNull());
  EXPECT_TRUE(boxes.shown.empty());
}

}  // namespace
